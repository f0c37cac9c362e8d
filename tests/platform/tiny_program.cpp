// A program that does nothing: signed at build time, it is what the check tests look at.
int main() { return 0; }

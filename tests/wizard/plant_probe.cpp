// The control of the planting test: a program that loads a DLL by its bare name, with the
// system's default search order, loads a DLL planted beside it. Exit code 0 when it loaded.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  return ::LoadLibraryA(argv[1]) != nullptr ? 0 : 1;
}

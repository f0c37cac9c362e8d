// What the program does when a C++ failure ends it (an exception nothing catches, a pure
// virtual call): it ends at once. The C++ library's own handler would write the exception's
// decoded type name to a console this windowed program does not have, and its name decoder
// alone weighs 45 KB of an exe every player downloads first. The install log has already
// recorded what the installer was doing.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

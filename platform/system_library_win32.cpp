#include "platform/system_library_win32.h"

namespace platform {

HMODULE SystemLibrary(const wchar_t* name) {
  // The system counts the loads of a module: repeated calls return the one already loaded,
  // which stays until the process ends.
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool RestrictDllSearchToSystem32() {
  return ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
}

}  // namespace platform

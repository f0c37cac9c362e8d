// Windows only: DLLs of the system, loaded at run time from System32 and nowhere else, so that
// a file planted beside the installer (in a Downloads folder, say) is never loaded into it.
#pragma once

#include <windows.h>

namespace platform {

// The module of a System32 DLL, loaded on first use and kept for the life of the process;
// nullptr when it cannot be loaded.
HMODULE SystemLibrary(const wchar_t* name);

// A function of a System32 DLL, or nullptr.
template <typename Function>
Function SystemFunction(const wchar_t* library, const char* name) {
  HMODULE module = SystemLibrary(library);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Limits the process's DLL search to System32. The first thing the program does, before any
// DLL beyond its import table is loaded. False when the system refused.
bool RestrictDllSearchToSystem32();

}  // namespace platform

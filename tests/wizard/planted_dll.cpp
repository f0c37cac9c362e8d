// A DLL that an attacker would plant beside the installer under a system DLL's name: when it is
// loaded it leaves "<its name>.loaded" in its folder, and does nothing else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH - 8);
  if (length == 0 || length >= MAX_PATH - 8) return TRUE;
  lstrcatA(path, ".loaded");
  HANDLE marker = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  return TRUE;
}

// Stands in for the platform's game (Vantreo.exe) and its companion program (GlyphHint.exe):
// it only notes that it was started, under which name and in which working directory, as one
// line of "started.log" beside itself, and ends.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  char module[MAX_PATH] = {};
  DWORD length = ::GetModuleFileNameA(nullptr, module, sizeof(module));
  if (length == 0 || length >= sizeof(module)) return 1;
  char* slash = std::strrchr(module, '\\');
  if (!slash) return 1;
  *slash = '\0';
  const char* name = slash + 1;

  char workingDirectory[MAX_PATH] = {};
  ::GetCurrentDirectoryA(sizeof(workingDirectory), workingDirectory);

  char line[3 * MAX_PATH];
  int size = std::snprintf(line, sizeof(line), "started %s in %s\r\n", name, workingDirectory);
  if (size <= 0 || static_cast<size_t>(size) >= sizeof(line)) return 1;

  char logPath[MAX_PATH];
  std::snprintf(logPath, sizeof(logPath), "%s\\started.log", module);
  // Both programs start at once: appends of whole lines from several processes.
  HANDLE log = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 50 && log == INVALID_HANDLE_VALUE; ++attempt) {
    log = ::CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) ::Sleep(20);
  }
  if (log == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = ::WriteFile(log, line, static_cast<DWORD>(size), &written, nullptr);
  ::CloseHandle(log);
  return ok && written == static_cast<DWORD>(size) ? 0 : 1;
}

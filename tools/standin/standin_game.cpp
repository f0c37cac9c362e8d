// Stands in for the platform's game (Vantreo.exe) and its companion program (GlyphHint.exe):
// it only notes that it was started, under which name and in which working directory, as one
// line (UTF-8) of "started.log" beside itself, and ends.
#include <windows.h>

#include <string>

#include "platform/text_win32.h"

int main() {
  wchar_t module[MAX_PATH] = {};
  DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  const std::wstring path(module, length);
  const size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return 1;
  const std::wstring folder = path.substr(0, slash);
  const std::wstring name = path.substr(slash + 1);

  wchar_t workingDirectory[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, workingDirectory);
  const std::string line = "started " + platform::WideToUtf8(name) + " in " +
                           platform::WideToUtf8(workingDirectory) + "\r\n";

  const std::wstring logPath = folder + L"\\started.log";
  // Both programs start at once: appends of whole lines from several processes.
  HANDLE log = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 50 && log == INVALID_HANDLE_VALUE; ++attempt) {
    log = ::CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) ::Sleep(20);
  }
  if (log == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = ::WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(log);
  return ok && written == static_cast<DWORD>(line.size()) ? 0 : 1;
}

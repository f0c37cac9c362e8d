#include "platform/console.h"

#include <io.h>
#include <windows.h>
// CommandLineToArgvW needs windows.h first.
#include <shellapi.h>

#include <atomic>

#include "platform/text_win32.h"

namespace platform {

namespace {

std::atomic<bool> interrupted{false};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      interrupted.store(true);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The process is ended once this returns: give the program its few seconds to clean up.
      interrupted.store(true);
      Sleep(5000);
      return TRUE;
    default:
      return FALSE;
  }
}

// The console behind a stream, or null when the stream goes to a file or pipe.
HANDLE ConsoleOf(std::FILE* stream) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
  return handle;
}

}  // namespace

std::vector<std::string> Arguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(WideToUtf8(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool InterruptRequested() { return interrupted.load(); }

bool IsTerminal(std::FILE* stream) { return ConsoleOf(stream) != nullptr; }

void WriteUtf8(std::FILE* stream, const std::string& text) {
  HANDLE console = ConsoleOf(stream);
  if (console == nullptr) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  const std::wstring wide = Utf8ToWide(text);
  if (wide.empty()) return;
  std::fflush(stream);
  DWORD written = 0;
  WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

}  // namespace platform

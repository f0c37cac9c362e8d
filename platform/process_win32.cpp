#include "platform/process.h"

#include <windows.h>

#include <vector>

#include "platform/text_win32.h"

namespace platform {

namespace {

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

uint32_t CurrentThreadNumber() { return GetCurrentThreadId(); }

void LocalTime(std::time_t time, std::tm& local) { localtime_s(&local, &time); }

bool Process::Start(const std::string& commandLine) {
  Release();
  // CreateProcessW may write into the command line: it gets a copy of its own.
  const std::wstring wide = Utf8ToWide(commandLine);
  std::vector<wchar_t> buffer(wide.begin(), wide.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof info);
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &info)) {
    return false;
  }
  process_ = reinterpret_cast<intptr_t>(info.hProcess);
  thread_ = reinterpret_cast<intptr_t>(info.hThread);
  return true;
}

ProcessState Process::Poll(uint32_t* exitCode) {
  if (process_ == kNone) return ProcessState::Exited;
  DWORD code = 0;
  if (GetExitCodeProcess(AsHandle(process_), &code) && code == STILL_ACTIVE) {
    // 259 is also a code a program may exit with: only the handle tells the two apart.
    if (WaitForSingleObject(AsHandle(process_), 0) == WAIT_TIMEOUT) return ProcessState::Running;
    // It may have ended between the two calls: its real code is there now.
    GetExitCodeProcess(AsHandle(process_), &code);
  }
  if (exitCode != nullptr) *exitCode = code;
  return ProcessState::Exited;
}

void Process::Release() {
  if (thread_ != kNone) CloseHandle(AsHandle(thread_));
  if (process_ != kNone) CloseHandle(AsHandle(process_));
  process_ = kNone;
  thread_ = kNone;
}

bool MakeRunnable(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace platform

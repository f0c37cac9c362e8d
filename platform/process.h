// Starting a program from a command line and learning, without blocking, whether it has ended:
// what the download task needs to run a downloaded setup program.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace platform {

enum class ProcessState { Running, Exited };

// The one owner of a started program. Destroying it lets go of the program; it does not end it.
class Process {
 public:
  Process() = default;
  ~Process() { Release(); }
  Process(Process&& other) noexcept { TakeFrom(other); }
  Process& operator=(Process&& other) noexcept {
    if (this != &other) {
      Release();
      TakeFrom(other);
    }
    return *this;
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts the program a Windows command line names: the first token is the program (in
  // double quotes when its path holds blanks), the rest its arguments. The program gets a new
  // console of its own (on POSIX a session of its own, so our terminal's Ctrl-C does not reach
  // it), our environment and our current folder. False when it could not be started.
  bool Start(const std::string& commandLine);

  // Looks without waiting. A program that has ended is Exited whatever its exit code, 259
  // (Windows' "still active") included. `exitCode` is set when the program has exited.
  ProcessState Poll(uint32_t* exitCode = nullptr);

  bool IsValid() const { return process_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  void Release();
  void TakeFrom(Process& other) {
    process_ = other.process_;
    thread_ = other.thread_;
    exited_ = other.exited_;
    exitCode_ = other.exitCode_;
    other.process_ = other.thread_ = kNone;
  }

  intptr_t process_ = kNone;  // process handle (Windows) or process id (POSIX)
  intptr_t thread_ = kNone;   // primary thread handle (Windows only)
  bool exited_ = false;       // POSIX: reaped already, exitCode_ holds its status
  uint32_t exitCode_ = 0;
};

// The calling thread's number as the system shows it (for log lines).
uint32_t CurrentThreadNumber();

// `time` as local calendar time.
void LocalTime(std::time_t time, std::tm& local);

// Makes a downloaded file startable as a program. Windows starts any image it is given; POSIX
// needs the execute bit. False when that could not be arranged.
bool MakeRunnable(const std::string& path);

// POSIX implementation detail, open to its tests: a Windows command line split as Windows
// would split it. The first element is the program: up to the next double quote when the line
// starts with one, else up to the first blank or tab. The arguments follow the C runtime's
// rules: blanks and tabs separate, double quotes group, 2n backslashes before a quote give n
// and the quote acts, 2n + 1 give n and a literal quote, other backslashes stay as they are.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace platform

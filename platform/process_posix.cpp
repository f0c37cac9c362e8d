#include "platform/process.h"

#include <errno.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One argument after the program, by the C runtime's rules; `i` ends behind it.
std::string NextArgument(const std::string& line, size_t& i) {
  std::string argument;
  bool quoted = false;
  while (i < line.size() && (quoted || !IsBlank(line[i]))) {
    if (line[i] == '\\') {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++slashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        argument.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          argument += '"';
          ++i;
        }
      } else {
        argument.append(slashes, '\\');
      }
      continue;
    }
    if (line[i] == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        argument += '"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    argument += line[i++];
  }
  return argument;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> parts;
  size_t i = 0;
  std::string program;
  if (!commandLine.empty() && commandLine[0] == '"') {
    size_t close = commandLine.find('"', 1);
    if (close == std::string::npos) close = commandLine.size();
    program = commandLine.substr(1, close - 1);
    i = close < commandLine.size() ? close + 1 : close;
  } else {
    while (i < commandLine.size() && !IsBlank(commandLine[i])) ++i;
    program = commandLine.substr(0, i);
  }
  parts.push_back(program);
  while (true) {
    while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
    if (i >= commandLine.size()) break;
    parts.push_back(NextArgument(commandLine, i));
  }
  return parts;
}

uint32_t CurrentThreadNumber() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void LocalTime(std::time_t time, std::tm& local) { localtime_r(&time, &local); }

bool Process::Start(const std::string& commandLine) {
  Release();
  std::vector<std::string> parts = SplitCommandLine(commandLine);
  if (parts[0].empty()) return false;
  std::vector<char*> argv;
  for (std::string& part : parts) argv.push_back(&part[0]);
  argv.push_back(nullptr);

  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return false;
  // A session of its own, as a new console on Windows: Ctrl-C at our terminal stays ours.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  int error = posix_spawn(&pid, parts[0].c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return false;
  process_ = pid;
  exited_ = false;
  exitCode_ = 0;
  return true;
}

ProcessState Process::Poll(uint32_t* exitCode) {
  if (process_ == kNone) return ProcessState::Exited;
  if (!exited_) {
    int status = 0;
    pid_t result = waitpid(static_cast<pid_t>(process_), &status, WNOHANG);
    if (result == 0) return ProcessState::Running;
    exited_ = true;
    if (result < 0) {
      exitCode_ = static_cast<uint32_t>(-1);  // reaped elsewhere: ended, code unknown
    } else if (WIFEXITED(status)) {
      exitCode_ = static_cast<uint32_t>(WEXITSTATUS(status));
    } else {
      exitCode_ = 128u + static_cast<uint32_t>(WTERMSIG(status));
    }
  }
  if (exitCode != nullptr) *exitCode = exitCode_;
  return ProcessState::Exited;
}

void Process::Release() {
  if (process_ == kNone) return;
  if (!exited_ && Poll() == ProcessState::Running) {
    // The program goes on; someone must still collect it when it ends, or it lingers as a
    // zombie for as long as we live.
    pid_t pid = static_cast<pid_t>(process_);
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
  process_ = kNone;
  thread_ = kNone;
}

bool MakeRunnable(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // Execute wherever reading is allowed, as for any program file.
  mode_t mode = info.st_mode | ((info.st_mode & 0444) >> 2) | S_IXUSR;
  return (mode == info.st_mode) || chmod(path.c_str(), mode & 07777) == 0;
}

}  // namespace platform

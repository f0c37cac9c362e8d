// Runs vantreo-fetch (or any program) as a child process, with extra environment, its output
// kept, a hard time limit, and the processor time it used.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace faults {

struct ChildResult {
  bool started = false;
  bool killed = false;     // still running at the time limit
  int exitCode = -1;       // -1 unless it exited normally
  double cpuSeconds = 0;   // user plus system time
  double wallSeconds = 0;
  std::string out;
  std::string err;
};

// Path of the vantreo-fetch under test, from the environment ctest gives.
inline std::string FetchTool() {
  const char* tool = std::getenv("VANTREO_FETCH");
  return tool != nullptr ? tool : "";
}

inline ChildResult RunChild(const std::vector<std::string>& args,
                            const std::vector<std::string>& extraEnvironment, int limitMs) {
  ChildResult result;
  const std::string stem = testing_support::UniqueName("/tmp/vfault_child" + std::to_string(getpid()));
  const std::string outPath = stem + ".out";
  const std::string errPath = stem + ".err";

  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment(extraEnvironment);
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const auto start = std::chrono::steady_clock::now();
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return result;
  result.started = true;

  int status = 0;
  rusage usage{};
  const auto limit = start + std::chrono::milliseconds(limitMs);
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() >= limit && !result.killed) {
      kill(pid, SIGKILL);
      result.killed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.out = testing_support::ReadFile(outPath);
  result.err = testing_support::ReadFile(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}

// The path vantreo-fetch names on its last "saved: " line, or "".
inline std::string SavedPath(const std::string& out) {
  const std::string mark = "saved: ";
  size_t at = out.rfind(mark);
  if (at == std::string::npos) return "";
  size_t end = out.find('\n', at);
  return out.substr(at + mark.size(), end == std::string::npos ? std::string::npos : end - at - mark.size());
}

}  // namespace faults

#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace platform {

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

namespace {

// Written from a signal handler: a lock-free atomic is safe there.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");

void OnSignal(int) { interrupted.store(true); }

}  // namespace

void CatchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool InterruptRequested() { return interrupted.load(); }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void WriteUtf8(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace platform

#include "tasks/install_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/files.h"
#include "platform/process.h"

namespace install_log {

namespace {

struct State {
  std::mutex mutex;
  std::FILE* file = nullptr;
  std::string path;
};

State& TheLog() {
  static State state;
  return state;
}

std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  platform::LocalTime(now, local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Past the limit, the file is rewritten with its newest half.
void Trim(State& log) {
  if (log.file == nullptr || platform::FileSize(log.path) <= kMaxLogBytes) return;
  std::fclose(log.file);
  log.file = nullptr;
  std::string text;
  if (std::FILE* in = platform::OpenFileDenyWrite(log.path, "rb")) {
    char block[64 * 1024];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, in)) > 0) text.append(block, count);
    std::fclose(in);
  }
  const std::string kept = KeepNewestHalf(text, kMaxLogBytes / 2);
  log.file = platform::OpenLogFile(log.path, true);
  if (log.file == nullptr) return;
  std::fwrite(kept.data(), 1, kept.size(), log.file);
  std::fflush(log.file);
}

}  // namespace

std::string DefaultPath() { return platform::TempFolder() + kLogFileName; }

bool Open(const std::string& path) {
  State& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  if (log.file) std::fclose(log.file);
  log.path = path.empty() ? DefaultPath() : path;
  log.file = platform::OpenLogFile(log.path, false);
  if (log.file == nullptr) log.path.clear();
  Trim(log);
  return log.file != nullptr;
}

void Close() {
  State& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  if (log.file) std::fclose(log.file);
  log.file = nullptr;
  log.path.clear();
}

std::string Path() {
  State& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  return log.path;
}

void Write(const char* kind, const std::string& text) {
  State& log = TheLog();
  std::lock_guard<std::mutex> lock(log.mutex);
  if (log.file == nullptr) return;
  std::string body = text;
  for (char& c : body) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  std::fprintf(log.file, "%s T%u %s %s\n", Timestamp().c_str(), platform::CurrentThreadNumber(),
               kind, body.c_str());
  std::fflush(log.file);
  Trim(log);
}

void Writef(const char* kind, const char* format, ...) {
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  Write(kind, text);
}

std::string KeepNewestHalf(const std::string& text, uint64_t limit) {
  if (text.size() <= limit) return text;
  size_t start = text.size() - static_cast<size_t>(limit);
  // From the first whole line on.
  const size_t lineEnd = text.find('\n', start > 0 ? start - 1 : 0);
  start = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
  return text.substr(start);
}

}  // namespace install_log

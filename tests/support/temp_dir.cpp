#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "platform/files.h"

namespace testing_support {

std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return prefix + "_" + std::to_string(ticks % 100000000) + "_" + std::to_string(++counter);
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = platform::OpenFileDenyWrite(path, "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  std::FILE* file = platform::OpenFileDenyWrite(path, "rb");
  if (file == nullptr) return bytes;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  std::fclose(file);
  return bytes;
}

}  // namespace testing_support

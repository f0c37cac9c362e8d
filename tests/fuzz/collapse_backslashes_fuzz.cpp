// CollapseDoubleBackslashes on any path: each run of k backslashes becomes (k + 1) / 2 of
// them, and every other byte stays as it is.
#include <cstdint>
#include <string>

#include "tasks/url_utils.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Counts runs instead of replacing pairs: another way to the same result.
std::string Reference(const std::string& path) {
  std::string out;
  size_t run = 0;
  auto endRun = [&] {
    out.append((run + 1) / 2, '\\');
    run = 0;
  };
  for (char c : path) {
    if (c == '\\') {
      ++run;
      continue;
    }
    endRun();
    out += c;
  }
  endRun();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  std::string path = input;
  CollapseDoubleBackslashes(path);
  FUZZ_CHECK(path == Reference(input));
  return 0;
}

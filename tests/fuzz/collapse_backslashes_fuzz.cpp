// CollapseDoubleBackslashes on any path: each run of k single-byte backslashes becomes
// (k + 1) / 2 of them, and a backslash-valued trail byte of a double-byte character is left
// alone.
#include <cstdint>
#include <string>

#include "platform/codepage.h"
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
  for (size_t i = 0; i < path.size();) {
    bool pair = platform::IsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size();
    if (!pair && path[i] == '\\') {
      ++run;
      ++i;
      continue;
    }
    endRun();
    out.append(path, i, pair ? 2 : 1);
    i += pair ? 2 : 1;
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

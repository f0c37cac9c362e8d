// The two readers of the Content-Length field (a whole field name in any letter case, lines
// ended by LF or CR LF): ParseContentLength reads the first as atoi does (saturating where
// atoi would be undefined); ParseFileSize accepts only a size the downloader can trust, never
// one that two fields disagree on.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>
#include <cctype>

#include "tests/fuzz/fuzz_check.h"

namespace {

// The header's lines as a recipient splits them: at LF, a CR before it dropped.
std::vector<std::string> Lines(const std::string& header, std::vector<bool>& ended) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    std::string line = header.substr(start, end == std::string::npos ? end : end - start);
    ended.push_back(end != std::string::npos);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    if (end != std::string::npos && line.empty() && !lines.empty()) break;
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The text after "content-length:" (any letter case) when the line starts with exactly that
// name; the reference reads names without the parser's token rules.
bool LengthValue(const std::string& line, std::string& value) {
  static const char kName[] = "content-length:";
  if (line.size() < 15) return false;
  for (size_t i = 0; i < 15; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i]) return false;
  }
  value = line.substr(15);
  return true;
}

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The first field's value read by the C library: the reference for ParseContentLength.
int ReferenceContentLength(const std::string& header) {
  std::vector<bool> ended;
  for (const std::string& line : Lines(header, ended)) {
    std::string text;
    if (!LengthValue(line, text)) continue;
    long long value = std::strtoll(Trimmed(text).c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
  }
  return 0;
}

// A trustworthy size: every length field ended, plain digits, all the same.
bool LooksLikePlainSize(const std::string& header, uint64_t& value) {
  std::vector<bool> ended;
  const std::vector<std::string> lines = Lines(header, ended);
  bool found = false;
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string text;
    if (!LengthValue(lines[n], text)) continue;
    const std::string digits = Trimmed(text);
    if (!ended[n] || digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    const uint64_t parsed = std::strtoull(digits.c_str(), nullptr, 10);
    if (found && parsed != value) return false;
    value = parsed;
    found = true;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string header(reinterpret_cast<const char*>(bytes), size);

  const int length = FuzzDownloader::ParseContentLength(header);
  // strtoll stops at a zero byte, the field's text does not: compare where they see the same.
  if (header.find('\0') == std::string::npos)
    FUZZ_CHECK(length == ReferenceContentLength(header));

  uint64_t fileSize = 0;
  const bool usable = ParseFileSize(header, fileSize);
  uint64_t plain = 0;
  const bool looksPlain = LooksLikePlainSize(header, plain);
  FUZZ_CHECK(usable == (looksPlain && plain < kMaxFileSize));
  if (usable) {
    FUZZ_CHECK(fileSize == plain);
    // The atoi reading saturates where an int ends; the size goes on to 64 bits.
    FUZZ_CHECK(length == static_cast<int>(std::min<uint64_t>(fileSize, INT_MAX)));
  }
  return 0;
}

// The two readers of "Content-Length:": ParseContentLength reads it as atoi does (saturating
// where atoi would be undefined); ParseFileSize accepts only a size the downloader can trust.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/fuzz/fuzz_check.h"

namespace {

// The field's value read by the C library: the reference for ParseContentLength.
int ReferenceContentLength(const std::string& header) {
  size_t field = header.find("Content-Length:");
  if (field == std::string::npos) return 0;
  std::string text = header.substr(field + 15);
  size_t end = text.find("\r\n");
  if (end != std::string::npos) text.erase(end);
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// What a trustworthy field looks like: "Content-Length:", blanks or tabs, decimal digits,
// blanks or tabs, CR LF.
bool LooksLikePlainSize(const std::string& header, uint64_t& value) {
  size_t field = header.find("Content-Length:");
  if (field == std::string::npos) return false;
  size_t end = header.find("\r\n", field);
  if (end == std::string::npos) return false;
  std::string text = header.substr(field + 15, end - field - 15);
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  size_t last = text.find_last_not_of(" \t");
  std::string digits = text.substr(first, last - first + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  value = 0;
  for (char digit : digits) {
    value = value * 10 + static_cast<uint64_t>(digit - '0');
    if (value > UINT32_MAX) value = UINT32_MAX;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string header(reinterpret_cast<const char*>(bytes), size);

  const int length = FuzzDownloader::ParseContentLength(header);
  // strtoll stops at a zero byte, the field's text does not: compare where they see the same.
  if (header.find('\0') == std::string::npos)
    FUZZ_CHECK(length == ReferenceContentLength(header));

  uint32_t fileSize = 0;
  const bool usable = ParseFileSize(header, fileSize);
  uint64_t plain = 0;
  const bool looksPlain = LooksLikePlainSize(header, plain);
  FUZZ_CHECK(usable == (looksPlain && plain < kMaxFileSize));
  if (usable) {
    FUZZ_CHECK(fileSize == plain);
    FUZZ_CHECK(length == static_cast<int>(fileSize));
  }
  return 0;
}

// SplitUrl on any text: the pieces always put the trimmed URL back together, and no "/" is
// missed. In UTF-8 every byte below 0x80 is a character of its own, whatever surrounds it.
#include <cstdint>
#include <cctype>
#include <string>

#include "tasks/url_utils.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const char kWhiteSpace[] = " \t\n\r\v\f";

// Offsets where a character the URL's syntax uses ("/", ":", the scheme) may start: every
// one, as no byte of a longer UTF-8 character is ASCII.
std::string CharStarts(const std::string& text) { return std::string(text.size(), '\1'); }

// Index of the first "/" at or after `from`, or npos.
size_t FirstSlash(const std::string& text, const std::string& starts, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (starts[i] && text[i] == '/') return i;
  }
  return std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string url(reinterpret_cast<const char*>(bytes), size);
  const UrlParts parts = SplitUrl(url);

  size_t first = url.find_first_not_of(kWhiteSpace);
  const std::string trimmed =
      first == std::string::npos ? "" : url.substr(first, url.find_last_not_of(kWhiteSpace) - first + 1);
  FUZZ_CHECK(parts.urlPrefix + parts.fileName == trimmed);

  const std::string starts = CharStarts(trimmed);
  // The prefix ends at the last "/"; the file name holds none.
  if (parts.urlPrefix.empty()) {
    FUZZ_CHECK(FirstSlash(trimmed, starts, 0) == std::string::npos);
  } else {
    FUZZ_CHECK(parts.urlPrefix.back() == '/' && starts[parts.urlPrefix.size() - 1]);
    FUZZ_CHECK(FirstSlash(trimmed, starts, parts.urlPrefix.size()) == std::string::npos);
  }

  // The host is what lies between a leading "http://" or "https://" (any case), else the first
  // "http://", and the next "/" after it, up to a ":" (after the "]" of an IPv6 literal).
  std::string head = trimmed.substr(0, 8);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t scheme = std::string::npos;
  size_t schemeLength = 7;
  if (head == "https://") {
    scheme = 0;
    schemeLength = 8;
  } else if (head.compare(0, 7, "http://") == 0) {
    scheme = 0;
  }
  for (size_t i = 0; scheme == std::string::npos && i < trimmed.size(); ++i) {
    if (starts[i] && trimmed.compare(i, 7, "http://") == 0) scheme = i;
  }
  const size_t hostStart = scheme == std::string::npos ? 0 : scheme + schemeLength;
  // Offsets after the scheme are character starts of the copy too: "http://" is all ASCII.
  const size_t slash = FirstSlash(trimmed, starts, hostStart);
  if (slash == std::string::npos) {
    FUZZ_CHECK(parts.host.empty());
  } else if (trimmed[hostStart] == '[') {
    // An IPv6 literal keeps its brackets; an unclosed one, or text between "]" and the port,
    // gives no host.
    const size_t close = trimmed.find(']', hostStart);
    const bool whole = close < slash && (close + 1 == slash || trimmed[close + 1] == ':');
    FUZZ_CHECK(parts.host == (whole ? trimmed.substr(hostStart, close + 1 - hostStart) : ""));
  } else {
    size_t colon = slash;
    for (size_t i = hostStart; i < slash && colon == slash; ++i) {
      if (starts[i] && trimmed[i] == ':') colon = i;
    }
    FUZZ_CHECK(parts.host == trimmed.substr(hostStart, colon - hostStart));
  }
  return 0;
}

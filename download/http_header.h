// A response header read as HTTP/1.1 recipients read it: lines end with CR LF or a lone LF,
// field names are whole tokens compared without regard to letter case, values are trimmed.
// Every reader of an answer (status, lengths, ranges, codings, redirects, retry hints) asks
// this one parser, so no field is ever found inside another field's name or value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct HttpField {
  std::string name;
  std::string value;       // without the blanks and tabs around it
  bool terminated = true;  // false for a last line the header was cut off in
};

struct ResponseHeader {
  bool complete = false;   // ended by its blank line
  bool statusValid = false;
  std::string version;     // "HTTP/1.1" for the answers this program accepts
  int status = 0;          // the three-digit code; 0 when the status line is not valid
  std::vector<HttpField> fields;

  // The first field of that name, or nullptr.
  const HttpField* Find(const char* name) const;
  // Every field of that name, in order.
  std::vector<const HttpField*> FindAll(const char* name) const;
};

ResponseHeader ParseResponseHeader(const std::string& text);

// True when `a` is `b` but for the letter case of ASCII letters.
bool SameNoCase(const std::string& a, const char* b);

// The value of a hexadecimal digit, either letter case; -1 for any other character.
int HexValue(char c);

// True when the last bytes of `text` (its first `count`) end a header: an empty line after a
// line end, CR LF or LF alike.
bool EndsHeader(const char* text, size_t count);

// The body length an answer states: absent (false, length untouched) or `length`. Refused
// (returns false with `bad` set): a value that is not plain decimal digits, a field cut off,
// or two fields that disagree.
bool StatedContentLength(const ResponseHeader& header, uint64_t& length, bool& bad);

// "bytes A-B/T" or "bytes A-B/*" (the unit in any letter case). `total` is UINT64_MAX for "*".
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
};
constexpr uint64_t kUnknownTotal = UINT64_MAX;
bool ParseContentRange(const std::string& value, ContentRange& range);

enum class BodyCoding { Identity, Chunked, Unsupported };
// What the Transfer-Encoding fields make of the body.
BodyCoding BodyCodingOf(const ResponseHeader& header);

// Seconds a Retry-After field asks for (decimal form only, capped at 60); -1 without one.
int RetryAfterSeconds(const ResponseHeader& header);

// True for a "multipart/..." Content-Type: several ranges in one body.
bool IsMultipart(const ResponseHeader& header);

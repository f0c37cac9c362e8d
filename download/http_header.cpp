#include "download/http_header.h"

#include <cstring>

namespace {

constexpr int kMaxRetryAfterSeconds = 60;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A field name is a token: letters, digits and a few marks, never blanks, "/" or ":".
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c)) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string Trim(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// Digits only, below 2^63 (longer numbers are refused, not wrapped).
bool ParseDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

void ParseStatusLine(const std::string& line, ResponseHeader& header) {
  // "HTTP/1.1 200 OK": version, one blank, three digits, then a blank or the line's end.
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !IsDigit(line[7]) ||
      line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]))
    return;
  if (line.size() > 12 && line[12] != ' ') return;
  header.version = line.substr(0, 8);
  header.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  header.statusValid = true;
}

void ParseFieldLine(const std::string& line, bool terminated, ResponseHeader& header) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return;
  for (size_t i = 0; i < colon; ++i) {
    if (!IsTokenChar(line[i])) return;  // the status line, folded lines, junk
  }
  header.fields.push_back(HttpField{line.substr(0, colon), Trim(line.substr(colon + 1)),
                                    terminated});
}

}  // namespace

bool SameNoCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const HttpField* ResponseHeader::Find(const char* name) const {
  for (const HttpField& field : fields) {
    if (SameNoCase(field.name, name)) return &field;
  }
  return nullptr;
}

std::vector<const HttpField*> ResponseHeader::FindAll(const char* name) const {
  std::vector<const HttpField*> found;
  for (const HttpField& field : fields) {
    if (SameNoCase(field.name, name)) found.push_back(&field);
  }
  return found;
}

ResponseHeader ParseResponseHeader(const std::string& text) {
  ResponseHeader header;
  size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const bool terminated = end != std::string::npos;
    std::string line = text.substr(start, terminated ? end - start : std::string::npos);
    if (terminated && !line.empty() && line.back() == '\r') line.pop_back();
    if (terminated && line.empty() && !first) {
      header.complete = true;
      break;
    }
    if (first) ParseStatusLine(line, header);
    // The status line is no field (its name would hold a blank), other lines may be.
    ParseFieldLine(line, terminated, header);
    first = false;
    if (!terminated) break;
    start = end + 1;
  }
  return header;
}

bool EndsHeader(const char* text, size_t count) {
  if (count >= 2 && text[count - 1] == '\n' && text[count - 2] == '\n') return true;
  return count >= 3 && text[count - 1] == '\n' && text[count - 2] == '\r' &&
         text[count - 3] == '\n';
}

bool StatedContentLength(const ResponseHeader& header, uint64_t& length, bool& bad) {
  bad = false;
  bool found = false;
  uint64_t value = 0;
  for (const HttpField* field : header.FindAll("Content-Length")) {
    uint64_t parsed = 0;
    if (!field->terminated || !ParseDecimal(field->value, parsed) || (found && parsed != value)) {
      bad = true;
      return false;
    }
    value = parsed;
    found = true;
  }
  if (found) length = value;
  return found;
}

bool ParseContentRange(const std::string& value, ContentRange& range) {
  if (value.size() < 6 || !SameNoCase(value.substr(0, 5), "bytes") || !IsBlank(value[5]))
    return false;
  const std::string rest = Trim(value.substr(6));
  const size_t dash = rest.find('-');
  const size_t slash = rest.find('/');
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  if (!ParseDecimal(rest.substr(0, dash), range.first) ||
      !ParseDecimal(rest.substr(dash + 1, slash - dash - 1), range.last))
    return false;
  const std::string total = rest.substr(slash + 1);
  if (total == "*") {
    range.total = kUnknownTotal;
  } else if (!ParseDecimal(total, range.total) || range.last >= range.total) {
    return false;
  }
  return range.first <= range.last;
}

BodyCoding BodyCodingOf(const ResponseHeader& header) {
  std::vector<std::string> codings;
  for (const HttpField* field : header.FindAll("Transfer-Encoding")) {
    size_t start = 0;
    while (start <= field->value.size()) {
      size_t comma = field->value.find(',', start);
      if (comma == std::string::npos) comma = field->value.size();
      const std::string coding = Trim(field->value.substr(start, comma - start));
      if (!coding.empty()) codings.push_back(coding);
      start = comma + 1;
    }
  }
  if (codings.empty()) return BodyCoding::Identity;
  // Only chunked framing is undone here; anything else would be written as it came.
  if (codings.size() == 1 && SameNoCase(codings[0], "chunked")) return BodyCoding::Chunked;
  return BodyCoding::Unsupported;
}

int RetryAfterSeconds(const ResponseHeader& header) {
  const HttpField* field = header.Find("Retry-After");
  uint64_t seconds = 0;
  if (field == nullptr || !ParseDecimal(field->value, seconds)) return -1;
  return seconds > kMaxRetryAfterSeconds ? kMaxRetryAfterSeconds : static_cast<int>(seconds);
}

bool IsMultipart(const ResponseHeader& header) {
  const HttpField* field = header.Find("Content-Type");
  return field != nullptr && field->value.size() >= 10 &&
         SameNoCase(field->value.substr(0, 10), "multipart/");
}

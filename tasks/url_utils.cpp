#include "tasks/url_utils.h"

#include <cctype>

#include "download/connection.h"
#include "download/http_downloader.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/private_folder.h"

namespace {

const char kWhiteSpace[] = " \t\n\r\v\f";
const char kScheme[] = "http://";
const size_t kSchemeLength = sizeof kScheme - 1;
const char kSecureScheme[] = "https://";
const size_t kSecureSchemeLength = sizeof kSecureScheme - 1;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(prefix[i]))
      return false;
  }
  return true;
}

// Length of the character starting at index i: 2 for a lead byte with a trail, else 1.
size_t CharLength(const std::string& text, size_t i) {
  return (platform::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
}

// Index of the first occurrence of `needle` that starts on a character boundary.
size_t FindFirst(const std::string& text, const char* needle, size_t needleLength) {
  for (size_t i = 0; i < text.size(); i += CharLength(text, i)) {
    if (text.compare(i, needleLength, needle, needleLength) == 0) return i;
  }
  return std::string::npos;
}

// Index of the last single-byte character `c`.
size_t FindLastChar(const std::string& text, char c) {
  size_t found = std::string::npos;
  for (size_t i = 0; i < text.size(); i += CharLength(text, i)) {
    if (text[i] == c) found = i;
  }
  return found;
}

void AppendUtf8(std::string& out, uint32_t unit) {
  if (unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 | (unit >> 6));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  }
}

}  // namespace

UrlParts SplitUrl(const std::string& url) {
  UrlParts parts;
  size_t first = url.find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) return parts;
  size_t last = url.find_last_not_of(kWhiteSpace);
  const std::string trimmed = url.substr(first, last - first + 1);

  std::string rest = trimmed;
  parts.secure = StartsWithNoCase(rest, kSecureScheme);
  size_t scheme = FindFirst(rest, kScheme, kSchemeLength);
  if (parts.secure) {
    rest.erase(0, kSecureSchemeLength);
  } else if (StartsWithNoCase(rest, kScheme)) {
    rest.erase(0, kSchemeLength);
  } else if (scheme != std::string::npos) {
    rest.erase(0, scheme + kSchemeLength);
  }
  parts.port = DefaultPort(parts.secure);
  size_t slash = FindFirst(rest, "/", 1);
  if (slash != std::string::npos) parts.host = rest.substr(0, slash);
  if (!parts.host.empty() && parts.host[0] == '[') {
    // An IPv6 literal: its colons are no port's.
    const std::string authority = parts.host;
    parts.host.clear();
    if (!SplitHostPort(authority, parts.host, parts.port)) parts.port = 0;
  } else {
    const size_t colon = FindFirst(parts.host, ":", 1);
    if (colon != std::string::npos) {
      parts.port = ParsePort(parts.host.substr(colon + 1));
      parts.host.erase(colon);
    }
  }

  size_t lastSlash = FindLastChar(trimmed, '/');
  if (lastSlash == std::string::npos) {
    parts.fileName = trimmed;
  } else {
    parts.urlPrefix = trimmed.substr(0, lastSlash + 1);
    parts.fileName = trimmed.substr(lastSlash + 1);
  }
  return parts;
}

std::string AnsiToUtf8(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size() && text[i] != '\0';) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out += text[i];
      i += 1;
      continue;
    }
    // A lead byte without its trail ends the text, as the zero byte behind it would.
    if (i + 1 >= text.size() || text[i + 1] == '\0') break;
    uint16_t unit = 0;
    if (platform::DoubleByteToUtf16(byte, static_cast<unsigned char>(text[i + 1]), unit)) {
      AppendUtf8(out, unit);
    } else {
      out += '?';
    }
    i += 2;
  }
  return out;
}

std::string MakeTempDownloadPath(const std::string& fileName) {
  std::string path = platform::DownloadFolder() + fileName;
  platform::RemoveFile(path);
  while (platform::PathExists(path)) {
    if (platform::PathWritable(path) && platform::RemoveFile(path)) break;
    path += kTmpSuffix;
  }
  return path;
}

void CollapseDoubleBackslashes(std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    size_t length = CharLength(path, i);
    if (length == 1 && path[i] == '\\' && i + 1 < path.size() && path[i + 1] == '\\') {
      out += '\\';
      i += 2;
    } else {
      out.append(path, i, length);
      i += length;
    }
  }
  path.swap(out);
}

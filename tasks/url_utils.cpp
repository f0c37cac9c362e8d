#include "tasks/url_utils.h"

#include <cctype>

#include "download/connection.h"
#include "download/http_downloader.h"
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

}  // namespace

UrlParts SplitUrl(const std::string& url) {
  UrlParts parts;
  size_t first = url.find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) return parts;
  size_t last = url.find_last_not_of(kWhiteSpace);
  const std::string trimmed = url.substr(first, last - first + 1);

  std::string rest = trimmed;
  parts.secure = StartsWithNoCase(rest, kSecureScheme);
  size_t scheme = rest.find(kScheme);
  if (parts.secure) {
    rest.erase(0, kSecureSchemeLength);
  } else if (StartsWithNoCase(rest, kScheme)) {
    rest.erase(0, kSchemeLength);
  } else if (scheme != std::string::npos) {
    rest.erase(0, scheme + kSchemeLength);
  }
  parts.port = DefaultPort(parts.secure);
  size_t slash = rest.find('/');
  if (slash != std::string::npos) parts.host = rest.substr(0, slash);
  // An IPv6 literal keeps its brackets: its colons are no port's.
  const std::string authority = parts.host;
  if (!SplitHostPort(authority, parts.host, parts.port)) {
    parts.host.clear();
    parts.port = 0;
  }

  size_t lastSlash = trimmed.rfind('/');
  if (lastSlash == std::string::npos) {
    parts.fileName = trimmed;
  } else {
    parts.urlPrefix = trimmed.substr(0, lastSlash + 1);
    parts.fileName = trimmed.substr(lastSlash + 1);
  }
  return parts;
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
  for (size_t i = 0; i < path.size(); ++i) {
    out += path[i];
    if (path[i] == '\\' && i + 1 < path.size() && path[i + 1] == '\\') ++i;
  }
  path.swap(out);
}

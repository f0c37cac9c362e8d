#include "download/http_answer.h"

#include <cctype>
#include <utility>

#include "download/http_downloader.h"

DownloadError PlanBody(const ResponseHeader& header, uint64_t offset, uint64_t total,
                       BodyPlan& plan) {
  plan.coding = BodyCodingOf(header);
  if (plan.coding == BodyCoding::Unsupported)
    return MakeError(DownloadErrorKind::BadAnswer, "the answer uses an unknown transfer coding");
  bool bad = false;
  plan.lengthKnown = StatedContentLength(header, plan.length, bad);
  if (bad)
    return MakeError(DownloadErrorKind::BadAnswer, "the answer states an unreadable length");
  if (header.status == 200) {
    if (plan.coding == BodyCoding::Identity && plan.lengthKnown && plan.length != total)
      return MakeError(DownloadErrorKind::SizeChanged, "the file changed size on the server");
    plan.skip = offset;
    return DownloadError();
  }
  if (header.status != 206) return StatusError(header.status, RetryAfterSeconds(header));
  if (IsMultipart(header))
    return MakeError(DownloadErrorKind::BadRange, "the server sent several ranges in one answer");
  const HttpField* field = header.Find("Content-Range");
  ContentRange range;
  if (field == nullptr || !ParseContentRange(field->value, range))
    return MakeError(DownloadErrorKind::BadRange, "a partial answer without a readable range");
  if (range.total != kUnknownTotal && range.total != total)
    return MakeError(DownloadErrorKind::SizeChanged, "the file changed size on the server");
  if (range.first != offset) {
    return MakeError(DownloadErrorKind::BadRange,
                     "a partial answer from byte " + std::to_string(range.first) +
                         " to a request from byte " + std::to_string(offset));
  }
  if (plan.coding == BodyCoding::Identity) {
    // The range says how long the body is; bytes beyond it are no part of the file.
    plan.lengthKnown = true;
    plan.length = range.last - range.first + 1;
  }
  return DownloadError();
}

std::string Printable(const std::string& text) {
  constexpr size_t kMaxShown = 200;
  std::string shown = text.substr(0, kMaxShown);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text.size() > kMaxShown ? shown + "..." : shown;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

DownloadError SizeOf(const ResponseHeader& header, uint64_t& size) {
  uint64_t length = 0;
  bool bad = false;
  bool known = StatedContentLength(header, length, bad);
  if (bad)
    return MakeError(DownloadErrorKind::BadAnswer, "the size answer states an unreadable length");
  ContentRange range;
  const HttpField* field = header.Find("Content-Range");
  if (header.status == 206) {
    known = field != nullptr && ParseContentRange(field->value, range) &&
            range.total != kUnknownTotal;
    length = range.total;
  }
  if (!known || BodyCodingOf(header) != BodyCoding::Identity)
    return MakeError(DownloadErrorKind::NoSize, "the server announced no size for the file");
  if (length >= kMaxFileSize)
    return MakeError(DownloadErrorKind::NoSize, "the file is larger than this program can take");
  size = length;
  return DownloadError();
}

bool IsSecureAddress(const std::string& url) {
  static const char kSecure[] = "https://";
  if (url.size() < sizeof kSecure - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kSecure; ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != kSecure[i]) return false;
  }
  return true;
}

bool FollowLocation(std::string location, std::string& host, std::string& urlPrefix,
                    std::string& fileName) {
  ServerAddress server;
  server.host = host;
  std::string prefix = urlPrefix;
  std::string name = fileName;
  if (!FollowLocation(std::move(location), server, prefix, name) || server.secure ||
      server.port != kHttpPort)
    return false;
  host = server.host;
  urlPrefix = prefix;
  fileName = name;
  return true;
}

bool FollowLocation(std::string location, ServerAddress& server, std::string& urlPrefix,
                    std::string& fileName) {
  for (char c : location) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  const size_t fragment = location.find('#');
  if (fragment != std::string::npos) location.erase(fragment);
  if (location.empty()) return false;
  const std::string ownScheme = server.secure ? "https" : "http";
  std::string url;
  if (location.compare(0, 2, "//") == 0) location = ownScheme + ":" + location;
  const size_t colon = location.find(':');
  const size_t slash = location.find('/');
  ServerAddress next = server;
  if (colon != std::string::npos && (slash == std::string::npos || colon < slash)) {
    // An absolute address: "http[s]://host[:port]/path" and nothing else.
    std::string scheme = location.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((scheme != "http" && scheme != "https") || location.compare(colon, 3, "://") != 0)
      return false;
    next.secure = scheme == "https";
    const size_t hostStart = colon + 3;
    size_t hostEnd = location.find_first_of("/?", hostStart);
    if (hostEnd == std::string::npos) hostEnd = location.size();
    std::string authority = location.substr(hostStart, hostEnd - hostStart);
    if (authority.find('@') != std::string::npos) return false;
    next.port = DefaultPort(next.secure);
    if (!SplitHostPort(authority, next.host, next.port) || next.port == 0 || next.host.empty())
      return false;
    std::string path = location.substr(hostEnd);
    if (path.empty() || path[0] != '/') path = "/" + path;
    url = scheme + "://" + next.HostField() + path;
  } else if (location[0] == '/') {
    url = ownScheme + "://" + server.HostField() + location;
  } else {
    url = urlPrefix + location;
  }
  server = next;
  // The name is what follows the path's last "/" (a query may hold others).
  const size_t query = url.find('?');
  const size_t cut = url.rfind('/', query == std::string::npos ? std::string::npos : query);
  urlPrefix = url.substr(0, cut + 1);
  fileName = url.substr(cut + 1);
  return true;
}

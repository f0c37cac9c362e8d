// One connection and one HTTP/1.1 GET exchange. The request bytes are fixed: each line its own
// send, the range only from an offset above 0. The answer is read with the one header parser.
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

#include "download/http_downloader.h"
#include "download/route.h"
#include "download/socket_layer.h"

namespace {

const char kUserAgentLine[] =
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the header one byte per call, so that not a byte of the body leaves the socket.
int ReadHeaderBytes(Connection& connection, char (&header)[kHeaderBufferSize],
                    const StopTest& stopped, WaitResult& why) {
  const auto headerDeadline = WireClock::now() + std::chrono::milliseconds(kHeaderTimeoutMs);
  int count = 0;
  why = WaitResult::Ready;
  while (count < kMaxHeaderBytes) {
    const auto silence = WireClock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
    why = WaitForData(connection, silence < headerDeadline ? silence : headerDeadline, stopped);
    if (why != WaitResult::Ready) break;
    int got = 0;
    const Connection::Outcome outcome = connection.Receive(&header[count], 1, got);
    if (outcome == Connection::Outcome::NotYet) continue;
    if (outcome != Connection::Outcome::Data) break;
    ++count;
    if (EndsHeader(header, static_cast<size_t>(count))) break;
  }
  header[count] = '\0';
  return count;
}

bool SendWhole(Connection& connection, const std::string& text) {
  return connection.SendAll(text.data(), static_cast<int>(text.size()));
}

}  // namespace

platform::Socket HttpDownloader::ConnectDirect(const std::string& host, int port,
                                               const StopTest& stopped) {
  return SocketLayer::ConnectWithTimeout(host, port, stopped);
}

bool HttpDownloader::SendText(Connection& connection, const std::string& text) {
  return SendWhole(connection, text);
}

bool HttpDownloader::SendText(platform::Socket& socket, const std::string& text) {
  if (platform::SendBytes(socket.Handle(), text.data(), static_cast<int>(text.size())) == -1) {
    socket.Close();
    return false;
  }
  return true;
}

int HttpDownloader::ReceiveHeader(platform::Socket& socket, char (&header)[kHeaderBufferSize],
                                  const StopTest& stopped) {
  WaitResult why = WaitResult::Ready;
  Connection connection(std::move(socket));
  const int count = ReadHeaderBytes(connection, header, stopped, why);
  socket = connection.ReleaseSocket();
  return count;
}

DownloadError OpenTunnel(Connection& connection, const ProxyServer& proxy,
                         const std::string& target, const StopTest& stopped) {
  const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n" +
                              kUserAgentLine + proxy.AuthorizationField() + "\r\n";
  if (!SendWhole(connection, request))
    return MakeError(DownloadErrorKind::Closed, "the proxy " + proxy.Name() + " closed the connection");
  char reply[kHeaderBufferSize];
  WaitResult why = WaitResult::Ready;
  const int count = ReadHeaderBytes(connection, reply, stopped, why);
  if (why == WaitResult::Stopped)
    return MakeError(DownloadErrorKind::Stopped, "the download was stopped");
  if (count == 0) {
    return why == WaitResult::Silent
               ? MakeError(DownloadErrorKind::TimedOut, "the proxy " + proxy.Name() + " did not answer")
               : MakeError(DownloadErrorKind::Closed,
                           "the proxy " + proxy.Name() + " closed without an answer");
  }
  const ResponseHeader parsed = ParseResponseHeader(std::string(reply, static_cast<size_t>(count)));
  if (!parsed.complete || !parsed.statusValid) {
    return MakeError(DownloadErrorKind::BadAnswer,
                     "the answer of the proxy " + proxy.Name() + " to CONNECT cannot be read");
  }
  if (parsed.status / 100 != 2) return ProxyError(parsed.status, proxy.Name());
  return DownloadError();
}

platform::Socket HttpDownloader::OpenProxyTunnel(const std::string& proxyHost, int proxyPort,
                                                 const std::string& host, int port) {
  ProxyServer proxy;
  proxy.host = proxyHost;
  proxy.port = proxyPort;
  Connection connection(SocketLayer::ConnectWithTimeout(proxyHost, proxyPort));
  if (!connection.IsOpen() ||
      OpenTunnel(connection, proxy, host + ":" + std::to_string(port), StopTest()).Failed())
    return platform::Socket();
  return connection.ReleaseSocket();
}

DownloadError HttpDownloader::RequestFile(Connection& connection, const std::string& host,
                                          const std::string& urlPrefix,
                                          const std::string& fileName, uint64_t startOffset,
                                          std::string& header, const StopTest& stopped,
                                          const std::string& ifRange) {
  header.clear();
  const DownloadError unsent =
      MakeError(DownloadErrorKind::Closed, "the request could not be sent");
  if (!SendText(connection, "GET " + urlPrefix + fileName + " HTTP/1.1\r\n")) return unsent;
  if (!SendText(connection, "Host: " + host + "\r\n")) return unsent;
  if (!SendText(connection, "Accept: \r\n")) return unsent;
  if (!SendText(connection, "Referer: " + urlPrefix + "\r\n")) return unsent;
  if (!SendText(connection, kUserAgentLine)) return unsent;
  if (!connection.ProxyFields().empty() && !SendText(connection, connection.ProxyFields()))
    return unsent;
  if (startOffset != 0 &&
      !SendText(connection, "Range: bytes=" + std::to_string(startOffset) + "-\r\n"))
    return unsent;
  if (startOffset != 0 && !ifRange.empty() &&
      !SendText(connection, "If-Range: " + ifRange + "\r\n"))
    return unsent;
  if (!SendText(connection, "\r\n")) return unsent;

  char buffer[kHeaderBufferSize];
  WaitResult why = WaitResult::Ready;
  const int count = ReadHeaderBytes(connection, buffer, stopped, why);
  header.assign(buffer, static_cast<size_t>(count));
  if (why == WaitResult::Stopped)
    return MakeError(DownloadErrorKind::Stopped, "the download was stopped");
  if (count == 0) {
    return why == WaitResult::Silent
               ? MakeError(DownloadErrorKind::TimedOut, "the server did not answer")
               : MakeError(DownloadErrorKind::Closed, "the server closed without an answer");
  }
  const ResponseHeader parsed = ParseResponseHeader(header);
  if (!parsed.complete) {
    return MakeError(DownloadErrorKind::BadAnswer,
                     "the answer's header was cut off or is longer than 1024 bytes");
  }
  // A proxy taking the request in absolute form answers its own refusals, in any version.
  const bool throughProxy = !connection.ProxyName().empty() && !connection.IsSecure();
  if (throughProxy && parsed.statusValid &&
      (parsed.status == 407 || parsed.status == 502 || parsed.status == 504))
    return ProxyError(parsed.status, connection.ProxyName());
  if (!parsed.statusValid || parsed.version != "HTTP/1.1")
    return MakeError(DownloadErrorKind::BadAnswer, "the answer is not HTTP/1.1");
  if (parsed.status / 10 != 20) {
    DownloadError error = StatusError(parsed.status, RetryAfterSeconds(parsed));
    if (throughProxy) error.reason += " (through the proxy " + connection.ProxyName() + ")";
    return error;
  }
  return DownloadError();
}

bool HttpDownloader::SendRequest(platform::Socket& socket, const std::string& host,
                                 const std::string& urlPrefix, const std::string& fileName,
                                 uint64_t startOffset) {
  std::string header;
  Connection connection(std::move(socket));
  const bool failed =
      RequestFile(connection, host, urlPrefix, fileName, startOffset, header).Failed();
  socket = connection.ReleaseSocket();
  if (failed) return false;
  // Only the first answer after Start fixes the size; ranged answers carry smaller lengths.
  uint64_t unknown = 0;
  totalSize_.compare_exchange_strong(unknown, static_cast<uint64_t>(ParseContentLength(header)));
  return true;
}

int HttpDownloader::ParseContentLength(const std::string& header) {
  const ResponseHeader parsed = ParseResponseHeader(header);
  const HttpField* field = parsed.Find("Content-Length");
  if (field == nullptr) return 0;
  const std::string& text = field->value;
  // As atoi reads it, but an overlong number saturates instead of being undefined.
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) {
      value = static_cast<long long>(INT_MAX) + 1;
      break;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool ParseFileSize(const std::string& header, uint64_t& size) {
  uint64_t length = 0;
  bool bad = false;
  if (!StatedContentLength(ParseResponseHeader(header), length, bad) || length >= kMaxFileSize)
    return false;
  size = length;
  return true;
}

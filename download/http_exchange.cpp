// One connection and one HTTP/1.1 GET exchange, on the wire exactly as the servers and proxies
// in the field have always seen it from this program.
#include <chrono>
#include <climits>
#include <cstring>

#include "download/http_downloader.h"
#include "download/socket_layer.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kStatusPrefix[] = "HTTP/1.1 20";
const char kTunnelReply[] = "HTTP/1.0 200 Connection established";
const char kLengthField[] = "Content-Length:";
const char kUserAgentLine[] =
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n";
const char kTunnelUserAgentLine[] = "User-Agent:\t\t           MyApp/0.1\r\n";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The field's text after its colon, up to the first CR LF; `ended` tells whether one came.
bool FindLengthText(const std::string& header, std::string& text, bool& ended) {
  size_t field = header.find(kLengthField);
  if (field == std::string::npos) return false;
  text = header.substr(field + sizeof kLengthField - 1);
  size_t lineEnd = text.find("\r\n");
  ended = lineEnd != std::string::npos;
  if (ended) text.erase(lineEnd);
  return true;
}

// Waits in short slices until the socket has a byte (or its close) to read; false after the
// receive time-out of silence, when the header's deadline passes, or when told to stop first.
bool WaitForByte(platform::Socket& socket, Clock::time_point headerDeadline,
                 const StopTest& stopped) {
  constexpr int kSliceMs = 100;
  const Clock::time_point silence = Clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
  const Clock::time_point deadline = silence < headerDeadline ? silence : headerDeadline;
  for (;;) {
    if (stopped && stopped()) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const int slice = left < kSliceMs ? static_cast<int>(left) : kSliceMs;
    if (platform::WaitReadable(socket.Handle(), slice)) return true;
  }
}

}  // namespace

platform::Socket HttpDownloader::ConnectDirect(const std::string& host, int port) {
  return SocketLayer::ConnectWithTimeout(host, port);
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
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kHeaderTimeoutMs);
  // One byte per call, so that not a byte of the body is taken from the socket.
  int count = 0;
  while (count < kMaxHeaderBytes) {
    if (!WaitForByte(socket, deadline, stopped)) break;
    if (platform::ReceiveBytes(socket.Handle(), &header[count], 1) != 1) break;
    ++count;
    if (count >= 4 && std::memcmp(&header[count - 4], "\r\n\r\n", 4) == 0) break;
  }
  header[count] = '\0';
  return count;
}

platform::Socket HttpDownloader::OpenProxyTunnel(const std::string& proxyHost, int proxyPort,
                                                 const std::string& host, int port) {
  platform::Socket socket = SocketLayer::ConnectWithTimeout(proxyHost, proxyPort);
  if (!socket.IsValid()) return socket;
  std::string request = "CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.1\r\n" +
                        kTunnelUserAgentLine + "\r\n";
  if (!SendText(socket, request)) return socket;
  char reply[kHeaderBufferSize];
  ReceiveHeader(socket, reply);
  if (std::strstr(reply, kTunnelReply) == nullptr) socket.Close();
  return socket;
}

bool HttpDownloader::RequestFile(platform::Socket& socket, const std::string& host,
                                 const std::string& urlPrefix, const std::string& fileName,
                                 uint32_t startOffset, std::string& header,
                                 const StopTest& stopped) {
  header.clear();
  // Each line is its own send: servers in the field have only ever seen the request so.
  if (!SendText(socket, "GET " + urlPrefix + fileName + " HTTP/1.1\r\n")) return false;
  if (!SendText(socket, "Host: " + host + "\r\n")) return false;
  if (!SendText(socket, "Accept: \r\n")) return false;
  if (!SendText(socket, "Referer: " + urlPrefix + "\r\n")) return false;
  if (!SendText(socket, kUserAgentLine)) return false;
  if (startOffset != 0 &&
      !SendText(socket, "Range: bytes=" + std::to_string(startOffset) + "-\r\n"))
    return false;
  if (!SendText(socket, "\r\n")) return false;

  char buffer[kHeaderBufferSize];
  int count = ReceiveHeader(socket, buffer, stopped);
  if (count == 0) return false;
  header.assign(buffer, static_cast<size_t>(count));
  return header.compare(0, sizeof kStatusPrefix - 1, kStatusPrefix) == 0;
}

bool HttpDownloader::SendRequest(platform::Socket& socket, const std::string& host,
                                 const std::string& urlPrefix, const std::string& fileName,
                                 uint32_t startOffset) {
  std::string header;
  if (!RequestFile(socket, host, urlPrefix, fileName, startOffset, header)) return false;
  // Only the first answer after Start fixes the size; ranged answers carry smaller lengths.
  uint32_t unknown = 0;
  totalSize_.compare_exchange_strong(unknown,
                                     static_cast<uint32_t>(ParseContentLength(header)));
  return true;
}

int HttpDownloader::ParseContentLength(const std::string& header) {
  std::string text;
  bool ended = false;
  if (!FindLengthText(header, text, ended)) return 0;
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

bool ParseFileSize(const std::string& header, uint32_t& size) {
  std::string text;
  bool ended = false;
  if (!FindLengthText(header, text, ended) || !ended) return false;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t digits = i;
  uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value >= kMaxFileSize) return false;
  }
  if (i == digits) return false;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i != text.size()) return false;
  size = static_cast<uint32_t>(value);
  return true;
}

#include "download/connection.h"

#include <utility>

namespace {

bool IsCertificateFault(platform::TlsError error) {
  switch (error) {
    case platform::TlsError::UntrustedRoot:
    case platform::TlsError::NameMismatch:
    case platform::TlsError::Expired:
    case platform::TlsError::BadCertificate:
    case platform::TlsError::BadRoots:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string ServerAddress::HostField() const {
  return port == DefaultPort(secure) ? host : host + ":" + std::to_string(port);
}

int ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? port : 0;
}

bool SplitHostPort(const std::string& authority, std::string& host, int& port) {
  size_t hostEnd = authority.find(':');
  if (!authority.empty() && authority[0] == '[') {
    hostEnd = authority.find(']');
    if (hostEnd == std::string::npos) return false;
    ++hostEnd;
    if (hostEnd < authority.size() && authority[hostEnd] != ':') return false;
  }
  host = authority.substr(0, hostEnd);
  if (hostEnd < authority.size()) port = ParsePort(authority.substr(hostEnd + 1));
  return true;
}

Connection::Connection(platform::Socket socket) : socket_(std::move(socket)) {}

DownloadError Connection::StartTls(platform::Socket socket, const std::string& host,
                                   const std::string& pinnedRootsPem, const StopTest& stopped) {
  Close();
  secure_ = true;
  const platform::TlsError error = tls_.Connect(std::move(socket), host, pinnedRootsPem,
                                                kReceiveTimeoutMs, stopped);
  const std::string why = std::string(platform::TlsErrorText(error));
  if (error == platform::TlsError::None) return DownloadError();
  if (error == platform::TlsError::Stopped)
    return MakeError(DownloadErrorKind::Stopped, "the download was stopped");
  if (IsCertificateFault(error)) {
    return MakeError(DownloadErrorKind::Certificate,
                     "the certificate of " + host + " is refused: " + why);
  }
  if (error == platform::TlsError::HandshakeFailed || error == platform::TlsError::Unavailable)
    return MakeError(DownloadErrorKind::Handshake, "no TLS session with " + host + ": " + why);
  return MakeError(DownloadErrorKind::Connect, "the TLS handshake with " + host + " broke: " + why);
}

bool Connection::IsOpen() const { return secure_ ? tls_.IsOpen() : socket_.IsValid(); }

std::string Connection::PeerSubject() const { return secure_ ? tls_.PeerSubject() : ""; }

bool Connection::SendAll(const char* data, int length) {
  const bool sent = secure_ ? tls_.Send(data, length) == platform::TlsError::None
                            : platform::SendBytes(socket_.Handle(), data, length) != -1;
  if (!sent) Close();
  return sent;
}

bool Connection::WaitReadable(int timeoutMs) {
  return secure_ ? tls_.WaitReadable(timeoutMs)
                 : platform::WaitReadable(socket_.Handle(), timeoutMs);
}

Connection::Outcome Connection::Receive(char* buffer, int capacity, int& received) {
  received = 0;
  if (!secure_) {
    const int got = platform::ReceiveBytes(socket_.Handle(), buffer, capacity);
    if (got < 0) return Outcome::Broken;
    received = got;
    return got == 0 ? Outcome::Closed : Outcome::Data;
  }
  // No wait here: the caller's wait is the one that asks whether to stop.
  switch (tls_.Receive(buffer, capacity, 0, received)) {
    case platform::TlsError::None: return Outcome::Data;
    case platform::TlsError::TimedOut: return Outcome::NotYet;
    case platform::TlsError::Closed: return Outcome::Closed;
    default: return Outcome::Broken;
  }
}

void Connection::Close() {
  tls_.Close();
  socket_.Close();
}

platform::Socket Connection::ReleaseSocket() { return std::move(socket_); }

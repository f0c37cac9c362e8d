// One connection to a server as the HTTP exchange uses it: a plain socket, or a TLS stream over
// one. Both are driven the same way (send all, wait until readable, receive what is there), so
// the size request, the segments and a proxy's tunnel have a single path for http and https.
#pragma once

#include <string>
#include <utility>

#include "download/download_error.h"
#include "download/socket_layer.h"
#include "platform/sockets.h"
#include "platform/tls.h"

// The ports of addresses that name none.
constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;

// Where requests go: the host's name (or dotted address, or IPv6 literal in brackets as the URL
// writes it), its port, and whether it speaks TLS.
struct ServerAddress {
  std::string host;
  int port = kHttpPort;
  bool secure = false;

  // The Host field's value: the port only when it is not the scheme's own.
  std::string HostField() const;
};

// The port a scheme uses when the URL names none.
inline int DefaultPort(bool secure) { return secure ? kHttpsPort : kHttpPort; }

// A URL's port: 1 to 65535 in plain decimal digits; 0 for anything else.
int ParsePort(const std::string& text);

// Cuts a URL's "host[:port]" or "[IPv6]:port": `host` keeps an IPv6 literal's brackets, `port`
// becomes ParsePort's value of a named port and stays as it is otherwise. False for a bracket
// that is not closed or text between "]" and the port.
bool SplitHostPort(const std::string& authority, std::string& host, int& port);

class Connection {
 public:
  enum class Outcome { Data, NotYet, Closed, Broken };

  Connection() = default;
  // A plain connection over a connected socket.
  explicit Connection(platform::Socket socket);
  Connection(Connection&&) = default;
  Connection& operator=(Connection&&) = default;

  // Runs the TLS handshake over `socket` for `host`, trusting only the roots of `pinnedRootsPem`
  // (empty: the system's). A certificate or handshake failure is permanent (never retried and
  // never followed by plain HTTP); a failed transport is a Connect error like any other.
  DownloadError StartTls(platform::Socket socket, const std::string& host,
                         const std::string& pinnedRootsPem, const StopTest& stopped);

  bool IsOpen() const;
  bool IsSecure() const { return secure_; }
  // The server certificate's subject; empty for a plain connection.
  std::string PeerSubject() const;

  // Sends every byte; false (and the connection closed) when that fails.
  bool SendAll(const char* data, int length);
  // True when a Receive would not wait long: bytes, a whole record, or a close are there.
  bool WaitReadable(int timeoutMs);
  // What is there, at most `capacity` bytes. NotYet: only part of a TLS record had come.
  Outcome Receive(char* buffer, int capacity, int& received);

  // Marks a connection to a proxy: its name for errors and the log, and the fields every request
  // over it carries (Proxy-Authorization; empty inside a tunnel, where the server reads them).
  void SetProxy(std::string name, std::string requestFields) {
    proxyName_ = std::move(name);
    proxyFields_ = std::move(requestFields);
  }
  const std::string& ProxyName() const { return proxyName_; }
  const std::string& ProxyFields() const { return proxyFields_; }

  void Close();
  // The plain socket back (empty for a TLS connection).
  platform::Socket ReleaseSocket();

 private:
  platform::Socket socket_;
  platform::TlsStream tls_;
  bool secure_ = false;
  std::string proxyName_;
  std::string proxyFields_;
};

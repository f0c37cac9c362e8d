// The socket library's process-wide start and stop, and the one connect every download uses:
// every address of the host, both families, tried as RFC 8305 ("happy eyeballs") tries them;
// a blocking stream socket with fixed time-outs handed to the caller.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_error.h"
#include "platform/sockets.h"

// Asked now and then during a long wait: true ends the wait early.
using StopTest = std::function<bool()>;
// Receives one line for each address a connect tried: which one, and how it went.
using ConnectLog = std::function<void(const std::string& line)>;

// Send and receive time-outs of every connection, and the longest wait for one address.
constexpr int kSendTimeoutMs = 5000;
constexpr int kReceiveTimeoutMs = 5000;
constexpr int kConnectTimeoutSeconds = 5;
// The next address is tried this long after the last attempt began, unless that one failed
// sooner; the earlier attempts go on meanwhile (RFC 8305's "connection attempt delay").
constexpr int kAttemptDelayMs = 250;
// How often a connect's wait asks whether to stop.
constexpr int kConnectSliceMs = 100;

// The addresses of one host in the order connections try them: the families alternate, IPv6
// first (RFC 8305), and the address that connected last goes first, so that a download's later
// connections go where its first one went and fall back to the rest the same way. Shared by a
// download's threads.
class HostAddresses {
 public:
  // The host's name, dotted address or IPv6 literal (brackets allowed), and its port.
  HostAddresses(std::string host, int port) : host_(std::move(host)), port_(port) {}

  // Resolves once; later calls give the first call's result. A Connect error when the name
  // does not resolve.
  DownloadError Resolve();
  std::vector<platform::NetAddress> TryOrder() const;
  // Puts the address first for the connections after this one.
  void Connected(const platform::NetAddress& address);
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }

 private:
  const std::string host_;
  const int port_;
  mutable std::mutex mutex_;
  bool resolved_ = false;
  DownloadError failure_;
  std::vector<platform::NetAddress> ordered_;
};

// The addresses interleaved by family, IPv6 first, each family in the resolver's order.
std::vector<platform::NetAddress> InterleaveFamilies(const std::vector<platform::NetAddress>& found);

// Connects to the first of `addresses` that answers: a new attempt kAttemptDelayMs after the
// last one began, or at once when every earlier one has failed, while the earlier ones go on;
// each has kConnectTimeoutSeconds. The first connected wins and the others are closed. The
// socket comes back blocking, with the send and receive time-outs set. An empty Socket and a
// Connect error naming each address's fault when none connected (a Stopped error when
// `stopped` said so). `log` (when given) hears one line per address.
platform::Socket ConnectFirst(const std::vector<platform::NetAddress>& addresses, int port,
                              const StopTest& stopped, const ConnectLog& log,
                              platform::NetAddress& winner, DownloadError& error);

// Construct one for the life of the process, before the first connection (the application
// object does); destruction stops the socket library again.
class SocketLayer {
 public:
  SocketLayer();
  virtual ~SocketLayer();
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;

  // A connected blocking socket to any address of the host with 5-second send and receive
  // time-outs, or an empty Socket when the name does not resolve, no address connects, or
  // `stopped` (asked every 100 ms or so while the connect waits) says to give up.
  static platform::Socket ConnectWithTimeout(const std::string& host, int port,
                                             const StopTest& stopped = StopTest());
};

// TCP sockets over IPv4 and IPv6 as the portable core needs them: neutral names over Winsock
// and BSD sockets. A socket is a socket_t; kInvalidSocket (-1, all bits set) stands for "none"
// in both builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using socket_t = intptr_t;
constexpr socket_t kInvalidSocket = -1;

// Process-wide start and stop of the socket library (Winsock 2.2 on Windows; nothing on POSIX).
void StartSocketLibrary();
void StopSocketLibrary();

// A host as an address: an IPv6 literal loses its brackets ("[::1]" is "::1").
inline std::string BareHost(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

// One address of a host, either family, with its port: what a connect is made to.
struct NetAddress {
  bool v6 = false;
  // The system's socket address (sockaddr_in or sockaddr_in6), `length` bytes of it.
  alignas(8) unsigned char bytes[28] = {};
  int length = 0;

  // "192.0.2.1" or "2001:db8::1", without the port.
  std::string Text() const;
};

// A new blocking TCP socket of the family (IPv4 unless `v6`), or kInvalidSocket.
socket_t OpenTcpSocket(bool v6 = false);

// Closes a socket; kInvalidSocket is ignored.
void CloseSocket(socket_t socket);

// Sets the send time-out, then the receive time-out. Results are not reported.
void SetSocketTimeouts(socket_t socket, int sendMilliseconds, int receiveMilliseconds);

// Switches between non-blocking and blocking mode; false when the switch failed.
bool SetSocketNonBlocking(socket_t socket, bool nonBlocking);

// Every address of a host name, dotted IPv4 address or IPv6 literal (without brackets), both
// families, in the resolver's order, each with `port`. False, with the resolver's reason in
// `why`, when there is none. Safe to call from several threads at once.
bool ResolveHost(const std::string& host, int port, std::vector<NetAddress>& addresses,
                 std::string& why);

// Starts a connect on a non-blocking socket of the address's family. False, with the reason in
// `why`, when it failed at once.
bool StartConnect(socket_t socket, const NetAddress& address, std::string& why);

// Waits at most `timeoutMilliseconds` until one of the sockets whose connect is under way is
// done. Gives its index, with `connected` and, for a failed one, the reason in `why`; -1 when
// none was done in time.
int WaitForConnect(const std::vector<socket_t>& sockets, int timeoutMilliseconds,
                   bool& connected, std::string& why);

// One send or receive call: bytes moved, 0 when the peer closed (receive), -1 on an error or a
// time-out. A send to a closed peer never raises a signal.
int SendBytes(socket_t socket, const char* data, int length);
int ReceiveBytes(socket_t socket, char* buffer, int length);

// True when the socket has data (or a close) to read within the time-out.
bool WaitReadable(socket_t socket, int timeoutMilliseconds);

// A listening socket on the given dotted IPv4 address or IPv6 literal and port (0: any free port), or
// kInvalidSocket. `permissionDenied` is set when the system refused the port to this user.
socket_t ListenTcp(const std::string& address, int port, bool* permissionDenied = nullptr,
                   int backlog = 64);

// The local port a socket is bound to, or 0.
int LocalPort(socket_t socket);

// Accepts one connection, waiting at most the time-out; kInvalidSocket when none came.
socket_t AcceptConnection(socket_t listener, int timeoutMilliseconds);

// The one owner of an open socket: closes it when destroyed, moved or reset.
class Socket {
 public:
  Socket() = default;
  explicit Socket(socket_t handle) : handle_(handle) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  socket_t Handle() const { return handle_; }
  bool IsValid() const { return handle_ != kInvalidSocket; }
  socket_t Release() {
    socket_t handle = handle_;
    handle_ = kInvalidSocket;
    return handle;
  }
  void Close() { CloseSocket(Release()); }

 private:
  socket_t handle_ = kInvalidSocket;
};

}  // namespace platform

// IPv4 TCP sockets as the portable core needs them: neutral names over Winsock and BSD sockets.
// A socket is a socket_t; kInvalidSocket (-1, all bits set) stands for "none" in both builds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

using socket_t = intptr_t;
constexpr socket_t kInvalidSocket = -1;

// Process-wide start and stop of the socket library (Winsock 1.1 on Windows; nothing on POSIX).
void StartSocketLibrary();
void StopSocketLibrary();

// A new blocking IPv4 TCP socket, or kInvalidSocket.
socket_t OpenTcpSocket();

// Closes a socket; kInvalidSocket is ignored.
void CloseSocket(socket_t socket);

// Sets the send time-out, then the receive time-out. Results are not reported.
void SetSocketTimeouts(socket_t socket, int sendMilliseconds, int receiveMilliseconds);

// Switches between non-blocking and blocking mode; false when the switch failed.
bool SetSocketNonBlocking(socket_t socket, bool nonBlocking);

// First IPv4 address of a host name or dotted address, in network byte order. Safe to call
// from several threads at once.
bool ResolveHostIPv4(const std::string& host, uint32_t& address);

// Starts a connect on a non-blocking socket and waits until it is writable. True only when the
// connection was established within the time-out (a refused or unreachable peer is false).
// The wait asks `stopped` (when given) every kConnectSliceMs and ends early when it says so.
constexpr int kConnectSliceMs = 100;
bool ConnectAndWait(socket_t socket, uint32_t address, int port, int timeoutSeconds,
                    const std::function<bool()>& stopped = nullptr);

// One send or receive call: bytes moved, 0 when the peer closed (receive), -1 on an error or a
// time-out. A send to a closed peer never raises a signal.
int SendBytes(socket_t socket, const char* data, int length);
int ReceiveBytes(socket_t socket, char* buffer, int length);

// True when the socket has data (or a close) to read within the time-out.
bool WaitReadable(socket_t socket, int timeoutMilliseconds);

// A listening socket on the given dotted IPv4 address and port (0: any free port), or
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

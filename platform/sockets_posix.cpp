#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace platform {

namespace {

int Fd(socket_t socket) { return static_cast<int>(socket); }

timeval ToTimeval(int milliseconds) {
  timeval value;
  value.tv_sec = milliseconds / 1000;
  value.tv_usec = (milliseconds % 1000) * 1000;
  return value;
}

// Waits for one socket to become readable or writable; true when it did within the time-out.
// poll, unlike select, works for descriptors of any number.
bool WaitFor(socket_t socket, bool write, int milliseconds) {
  pollfd entry;
  entry.fd = Fd(socket);
  entry.events = write ? POLLOUT : POLLIN;
  entry.revents = 0;
  int ready;
  do {
    ready = poll(&entry, 1, milliseconds);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (entry.revents & (write ? POLLOUT : POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

void StartSocketLibrary() {}
void StopSocketLibrary() {}

socket_t OpenTcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kInvalidSocket : fd;
}

void CloseSocket(socket_t socket) {
  if (socket != kInvalidSocket) close(Fd(socket));
}

void SetSocketTimeouts(socket_t socket, int sendMilliseconds, int receiveMilliseconds) {
  timeval send = ToTimeval(sendMilliseconds);
  timeval receive = ToTimeval(receiveMilliseconds);
  setsockopt(Fd(socket), SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
  setsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
}

bool SetSocketNonBlocking(socket_t socket, bool nonBlocking) {
  int flags = fcntl(Fd(socket), F_GETFL, 0);
  if (flags < 0) return false;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(Fd(socket), F_SETFL, flags) == 0;
}

bool ResolveHostIPv4(const std::string& host, uint32_t& address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

bool ConnectAndWait(socket_t socket, uint32_t address, int port, int timeoutSeconds,
                    const std::function<bool()>& stopped) {
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = address;
  // A connect that fails at once (an address it may not reach) leaves an unconnected socket
  // that polls writable with no error pending: only "done" or "under way" may go on.
  if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
      errno != EINPROGRESS)
    return false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (bool ready = false; !ready;) {
    if (stopped && stopped()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    ready = WaitFor(socket, true, left < kConnectSliceMs ? static_cast<int>(left) : kConnectSliceMs);
  }
  // A refused connect also makes the socket writable; only a clean SO_ERROR means connected.
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

int SendBytes(socket_t socket, const char* data, int length) {
  ssize_t sent = send(Fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int ReceiveBytes(socket_t socket, char* buffer, int length) {
  ssize_t got;
  do {
    got = recv(Fd(socket), buffer, static_cast<size_t>(length), 0);
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<int>(got);
}

bool WaitReadable(socket_t socket, int timeoutMilliseconds) {
  return WaitFor(socket, false, timeoutMilliseconds);
}

socket_t ListenTcp(const std::string& address, int port, bool* permissionDenied, int backlog) {
  if (permissionDenied != nullptr) *permissionDenied = false;
  socket_t listener = OpenTcpSocket();
  if (listener == kInvalidSocket) return kInvalidSocket;
  int yes = 1;
  setsockopt(Fd(listener), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      bind(Fd(listener), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (permissionDenied != nullptr) *permissionDenied = (errno == EACCES || errno == EPERM);
    CloseSocket(listener);
    return kInvalidSocket;
  }
  if (listen(Fd(listener), backlog) != 0) {
    CloseSocket(listener);
    return kInvalidSocket;
  }
  return listener;
}

int LocalPort(socket_t socket) {
  sockaddr_in local;
  socklen_t length = sizeof local;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

socket_t AcceptConnection(socket_t listener, int timeoutMilliseconds) {
  if (!WaitFor(listener, false, timeoutMilliseconds)) return kInvalidSocket;
  int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kInvalidSocket : fd;
}

}  // namespace platform

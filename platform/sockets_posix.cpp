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

#include <cstring>

#include "platform/resolver_answer.h"

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

std::string NetAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = "";
  const void* raw = v6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(bytes)->sin6_addr)
                       : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(bytes)->sin_addr);
  inet_ntop(v6 ? AF_INET6 : AF_INET, raw, text, sizeof text);
  return text;
}

socket_t OpenTcpSocket(bool v6) {
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

bool ResolveHost(const std::string& host, int port, std::vector<NetAddress>& addresses,
                 std::string& why) {
  addresses.clear();
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (error != 0) {
    why = gai_strerror(error);
    return false;
  }
  addresses = AddressesOf(found);
  freeaddrinfo(found);
  if (addresses.empty()) why = "no IPv4 or IPv6 address";
  return !addresses.empty();
}

bool StartConnect(socket_t socket, const NetAddress& address, std::string& why) {
  // A connect that fails at once (an address it may not reach) leaves an unconnected socket
  // that polls writable with no error pending: only "done" or "under way" may go on.
  if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(address.bytes),
              static_cast<socklen_t>(address.length)) == 0 ||
      errno == EINPROGRESS)
    return true;
  why = std::strerror(errno);
  return false;
}

int WaitForConnect(const std::vector<socket_t>& sockets, int timeoutMilliseconds,
                   bool& connected, std::string& why) {
  std::vector<pollfd> entries(sockets.size());
  for (size_t i = 0; i < sockets.size(); ++i) {
    entries[i].fd = Fd(sockets[i]);
    entries[i].events = POLLOUT;
    entries[i].revents = 0;
  }
  int ready;
  do {
    ready = poll(entries.data(), entries.size(), timeoutMilliseconds);
  } while (ready < 0 && errno == EINTR);
  for (size_t i = 0; ready > 0 && i < entries.size(); ++i) {
    if (entries[i].revents == 0) continue;
    // A refused connect also makes the socket writable; only a clean SO_ERROR means connected.
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(entries[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    connected = error == 0;
    if (!connected) why = std::strerror(error);
    return static_cast<int>(i);
  }
  return -1;
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
  NetAddress local;
  if (address.find(':') == std::string::npos) {
    sockaddr_in& in = *reinterpret_cast<sockaddr_in*>(local.bytes);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1) return kInvalidSocket;
    local.length = sizeof in;
  } else {
    sockaddr_in6& in6 = *reinterpret_cast<sockaddr_in6*>(local.bytes);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr) != 1) return kInvalidSocket;
    local.v6 = true;
    local.length = sizeof in6;
  }
  socket_t listener = OpenTcpSocket(local.v6);
  if (listener == kInvalidSocket) return kInvalidSocket;
  int yes = 1;
  setsockopt(Fd(listener), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(Fd(listener), reinterpret_cast<const sockaddr*>(local.bytes),
           static_cast<socklen_t>(local.length)) != 0) {
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
  sockaddr_storage local;
  socklen_t length = sizeof local;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

socket_t AcceptConnection(socket_t listener, int timeoutMilliseconds) {
  if (!WaitFor(listener, false, timeoutMilliseconds)) return kInvalidSocket;
  int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kInvalidSocket : fd;
}

}  // namespace platform

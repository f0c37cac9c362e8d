#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>

namespace platform {

namespace {

SOCKET Sock(socket_t socket) { return static_cast<SOCKET>(socket); }

socket_t FromSock(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<socket_t>(socket);
}

timeval ToTimeval(int milliseconds) {
  timeval value;
  value.tv_sec = milliseconds / 1000;
  value.tv_usec = (milliseconds % 1000) * 1000;
  return value;
}

bool WaitRead(socket_t socket, int milliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Sock(socket), &set);
  timeval timeout = ToTimeval(milliseconds);
  return select(0, &set, nullptr, nullptr, &timeout) > 0 && FD_ISSET(Sock(socket), &set);
}

}  // namespace

void StartSocketLibrary() {
  WSADATA data;
  // Version 1.1 is all the program asks for; a library that grants another is let go at once.
  if (WSAStartup(0x0101, &data) == 0 && data.wVersion != 0x0101) WSACleanup();
}

void StopSocketLibrary() { WSACleanup(); }

socket_t OpenTcpSocket() { return FromSock(socket(AF_INET, SOCK_STREAM, 0)); }

void CloseSocket(socket_t socket) {
  if (socket != kInvalidSocket) closesocket(Sock(socket));
}

void SetSocketTimeouts(socket_t socket, int sendMilliseconds, int receiveMilliseconds) {
  // Winsock takes these time-outs as a DWORD of milliseconds.
  DWORD send = static_cast<DWORD>(sendMilliseconds);
  DWORD receive = static_cast<DWORD>(receiveMilliseconds);
  setsockopt(Sock(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send),
             sizeof send);
  setsockopt(Sock(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receive),
             sizeof receive);
}

bool SetSocketNonBlocking(socket_t socket, bool nonBlocking) {
  u_long value = nonBlocking ? 1 : 0;
  return ioctlsocket(Sock(socket), FIONBIO, &value) == 0;
}

bool ResolveHostIPv4(const std::string& host, uint32_t& address) {
  // Winsock keeps gethostbyname's result per thread, so segment threads may resolve at once.
  hostent* entry = gethostbyname(host.c_str());
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr)
    return false;
  in_addr first;
  std::memset(&first, 0, sizeof first);
  std::memcpy(&first, entry->h_addr_list[0],
              static_cast<size_t>(entry->h_length) < sizeof first ? entry->h_length : sizeof first);
  address = first.s_addr;
  return true;
}

bool ConnectAndWait(socket_t socket, uint32_t address, int port, int timeoutSeconds,
                    const std::function<bool()>& stopped) {
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<u_short>(port));
  peer.sin_addr.s_addr = address;
  // Only a connect that is done or under way may go on to the wait.
  if (connect(Sock(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK)
    return false;

  // Winsock reports a refused connect in the exception set only; watching it too ends the wait
  // at once instead of after the whole time-out, as on POSIX.
  fd_set writable;
  fd_set failed;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (int ready = 0; ready == 0;) {
    if (stopped && stopped()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Sock(socket), &writable);
    FD_SET(Sock(socket), &failed);
    timeval timeout = ToTimeval(left < kConnectSliceMs ? static_cast<int>(left) : kConnectSliceMs);
    ready = select(0, nullptr, &writable, &failed, &timeout);
    if (ready < 0) return false;
  }
  if (!FD_ISSET(Sock(socket), &writable) || FD_ISSET(Sock(socket), &failed)) return false;
  int error = 0;
  int length = sizeof error;
  return getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                    &length) == 0 &&
         error == 0;
}

int SendBytes(socket_t socket, const char* data, int length) {
  int sent = send(Sock(socket), data, length, 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

int ReceiveBytes(socket_t socket, char* buffer, int length) {
  int got = recv(Sock(socket), buffer, length, 0);
  return got == SOCKET_ERROR ? -1 : got;
}

bool WaitReadable(socket_t socket, int timeoutMilliseconds) {
  return WaitRead(socket, timeoutMilliseconds);
}

socket_t ListenTcp(const std::string& address, int port, bool* permissionDenied, int backlog) {
  if (permissionDenied != nullptr) *permissionDenied = false;
  socket_t listener = OpenTcpSocket();
  if (listener == kInvalidSocket) return kInvalidSocket;
  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<u_short>(port));
  local.sin_addr.s_addr = inet_addr(address.c_str());
  if (local.sin_addr.s_addr == INADDR_NONE ||
      bind(Sock(listener), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (permissionDenied != nullptr) *permissionDenied = WSAGetLastError() == WSAEACCES;
    CloseSocket(listener);
    return kInvalidSocket;
  }
  if (listen(Sock(listener), backlog) != 0) {
    CloseSocket(listener);
    return kInvalidSocket;
  }
  return listener;
}

int LocalPort(socket_t socket) {
  sockaddr_in local;
  int length = sizeof local;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

socket_t AcceptConnection(socket_t listener, int timeoutMilliseconds) {
  if (!WaitRead(listener, timeoutMilliseconds)) return kInvalidSocket;
  return FromSock(accept(Sock(listener), nullptr, nullptr));
}

}  // namespace platform

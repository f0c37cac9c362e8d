#include "platform/sockets.h"

#include "platform/text_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "platform/resolver_answer.h"

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
  // 2.2: name resolution of both families (GetAddrInfoW) and IPv6 sockets. A library that
  // grants another version is let go at once.
  if (WSAStartup(MAKEWORD(2, 2), &data) == 0 && data.wVersion != MAKEWORD(2, 2)) WSACleanup();
}

void StopSocketLibrary() { WSACleanup(); }

std::string NetAddress::Text() const {
  char text[NI_MAXHOST] = "";
  getnameinfo(reinterpret_cast<const sockaddr*>(bytes), length, text, sizeof text, nullptr, 0,
              NI_NUMERICHOST);
  return text;
}

socket_t OpenTcpSocket(bool v6) {
  return FromSock(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
}

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

bool ResolveHost(const std::string& host, int port, std::vector<NetAddress>& addresses,
                 std::string& why) {
  addresses.clear();
  // Host names are UTF-8, as every text inside the program.
  const std::wstring name = Utf8ToWide(host);
  // The port as GetAddrInfoW's service text (std::to_wstring would link a wide printf).
  std::wstring service;
  for (const char digit : std::to_string(port)) service += static_cast<wchar_t>(digit);
  ADDRINFOW hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  const int error = GetAddrInfoW(name.c_str(), service.c_str(), &hints, &found);
  if (error != 0) {
    why = "the name does not resolve (error " + std::to_string(error) + ")";
    return false;
  }
  addresses = AddressesOf(found);
  FreeAddrInfoW(found);
  if (addresses.empty()) why = "no IPv4 or IPv6 address";
  return !addresses.empty();
}

bool StartConnect(socket_t socket, const NetAddress& address, std::string& why) {
  // Only a connect that is done or under way may go on to the wait.
  if (connect(Sock(socket), reinterpret_cast<const sockaddr*>(address.bytes), address.length) ==
          0 ||
      WSAGetLastError() == WSAEWOULDBLOCK)
    return true;
  why = "connect failed (error " + std::to_string(WSAGetLastError()) + ")";
  return false;
}

int WaitForConnect(const std::vector<socket_t>& sockets, int timeoutMilliseconds,
                   bool& connected, std::string& why) {
  // Winsock reports a refused connect in the exception set only; watching it too ends the wait
  // at once instead of after the whole time-out, as on POSIX.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (socket_t socket : sockets) {
    FD_SET(Sock(socket), &writable);
    FD_SET(Sock(socket), &failed);
  }
  timeval timeout = ToTimeval(timeoutMilliseconds);
  if (select(0, nullptr, &writable, &failed, &timeout) <= 0) return -1;
  for (size_t i = 0; i < sockets.size(); ++i) {
    const SOCKET sock = Sock(sockets[i]);
    if (!FD_ISSET(sock, &writable) && !FD_ISSET(sock, &failed)) continue;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
      error = WSAGetLastError();
    connected = error == 0 && !FD_ISSET(sock, &failed);
    if (!connected) why = error == WSAECONNREFUSED ? "Connection refused"
                                                  : "connect failed (error " + std::to_string(error) + ")";
    return static_cast<int>(i);
  }
  return -1;
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
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return kInvalidSocket;
  socket_t listener = OpenTcpSocket(found->ai_family == AF_INET6);
  const bool bound = listener != kInvalidSocket &&
                     bind(Sock(listener), found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
  freeaddrinfo(found);
  if (!bound) {
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
  sockaddr_storage local;
  int length = sizeof local;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

socket_t AcceptConnection(socket_t listener, int timeoutMilliseconds) {
  if (!WaitRead(listener, timeoutMilliseconds)) return kInvalidSocket;
  return FromSock(accept(Sock(listener), nullptr, nullptr));
}

}  // namespace platform

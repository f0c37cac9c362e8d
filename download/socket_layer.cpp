#include "download/socket_layer.h"

SocketLayer::SocketLayer() { platform::StartSocketLibrary(); }

SocketLayer::~SocketLayer() { platform::StopSocketLibrary(); }

platform::Socket SocketLayer::ConnectWithTimeout(const std::string& host, int port,
                                                 const StopTest& stopped) {
  platform::Socket socket(platform::OpenTcpSocket());
  if (!socket.IsValid()) return socket;
  platform::SetSocketTimeouts(socket.Handle(), kSendTimeoutMs, kReceiveTimeoutMs);
  // Non-blocking only for the connect, so that its wait can be bounded.
  if (!platform::SetSocketNonBlocking(socket.Handle(), true)) return platform::Socket();
  uint32_t address = 0;
  if (!platform::ResolveHostIPv4(host, address)) return platform::Socket();
  if (!platform::ConnectAndWait(socket.Handle(), address, port, kConnectTimeoutSeconds, stopped))
    return platform::Socket();
  if (!platform::SetSocketNonBlocking(socket.Handle(), false)) return platform::Socket();
  return socket;
}

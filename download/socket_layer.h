// The socket library's process-wide start and stop, and the one connect every download uses:
// IPv4, fixed time-outs, a blocking stream socket handed to the caller.
#pragma once

#include <functional>
#include <string>

#include "platform/sockets.h"

// Asked now and then during a long wait: true ends the wait early.
using StopTest = std::function<bool()>;

// Send and receive time-outs of every connection, and the longest wait for a connect.
constexpr int kSendTimeoutMs = 5000;
constexpr int kReceiveTimeoutMs = 5000;
constexpr int kConnectTimeoutSeconds = 5;

// Construct one for the life of the process, before the first connection (the application
// object does); destruction stops the socket library again.
class SocketLayer {
 public:
  SocketLayer();
  virtual ~SocketLayer();
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;

  // A connected blocking socket with 5-second send and receive time-outs, or an empty Socket
  // when the name does not resolve, no connection is made within 5 seconds, or `stopped`
  // (asked every 100 ms or so while the connect waits) says to give up.
  static platform::Socket ConnectWithTimeout(const std::string& host, int port,
                                             const StopTest& stopped = StopTest());
};

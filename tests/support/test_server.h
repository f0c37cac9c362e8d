// A small scriptable HTTP server for tests: listens on a loopback address, reads each request
// header, records it, and answers with whatever the test's handler scripts — including the
// faults no real server produces on demand (drops, stalls, wrong lengths, odd status lines).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sockets.h"

namespace testing_support {

// What the server sends on one connection after reading one request.
struct Reply {
  static constexpr size_t kAll = static_cast<size_t>(-1);

  std::string bytes;              // header and body, sent in order
  size_t closeAfter = kAll;       // close the connection after this many bytes
  size_t pauseAfter = kAll;       // after this many bytes, send nothing for pauseMs
  int pauseMs = 0;
  int delayPerKiBMs = 0;          // pause between pieces of 1 KiB (pieceBytes): a slow server
  size_t pieceBytes = 1024;
  int holdOpenMs = 0;             // after the last byte, keep the connection open this long
  bool readNext = false;          // then read another request on the same connection
};

// Scripts the answer to one request. `exchange` counts requests on this connection from 0.
using Handler = std::function<Reply(const std::string& request, int exchange)>;

// How FileReply answers: a well-behaved server by default.
struct FileOptions {
  bool honourRange = true;
  bool sendLength = true;
  std::string lengthText;         // when set: the Content-Length value exactly as sent
  std::string statusLine;         // when set: replaces the status line
  size_t headerPadding = 0;       // adds a filler field of about this many bytes
  std::string fields;             // further header lines, each ended by CR LF
};

// A file answer to a GET: 206 with Content-Range for "Range: bytes=N-" (N > 0), else 200.
Reply FileReply(const std::string& request, const std::string& body,
                const FileOptions& options = FileOptions());

// N from a request's "Range: bytes=N-" line, or -1 when it has none.
long RangeStartOf(const std::string& request);

// Reproducible pseudo-random bytes.
std::string MakeBody(size_t size, unsigned seed);

class TestServer {
 public:
  TestServer() = default;
  ~TestServer() { Stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Listens on address:port (0: a free port) and serves every connection with the handler.
  // `permissionDenied` tells a refused privileged port from other failures.
  bool Start(const std::string& address, int port, Handler handler,
             bool* permissionDenied = nullptr);
  // Closes the listener and every connection, and waits for the server's threads.
  void Stop();

  const std::string& Address() const { return address_; }
  int Port() const { return port_; }

  // Every request header read so far, in arrival order (an empty one when the client sent
  // nothing before closing), and the number of connections accepted.
  std::vector<std::string> Requests() const;
  int ConnectionCount() const { return connections_.load(); }
  // The most connections open at once: each from its accept until the server is done with it.
  // The server notices a client's close a moment late (its thread must run first), so each
  // counts from `graceMs` after its accept: a client that closes one connection and then opens
  // another is not seen with both open.
  int MaxOpenConnections(int graceMs = 20) const;
  // Waits until at least `count` requests were read; false after the time-out.
  bool WaitForRequests(size_t count, int timeoutMs) const;

 private:
  void AcceptLoop();
  void Serve(platform::Socket connection, size_t span);
  bool ReadRequest(platform::Socket& connection, std::string& request);
  bool SendPaced(platform::Socket& connection, const std::string& bytes, const Reply& pace);
  void Wait(int milliseconds);
  // Wait, but false as soon as the client closes when `watchClose`.
  bool WaitUnlessClosed(platform::Socket& connection, int milliseconds, bool watchClose);

  Handler handler_;
  std::string address_;
  int port_ = 0;
  platform::Socket listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  // When each connection was accepted and when the server was done with it (still open: max).
  using Span = std::pair<std::chrono::steady_clock::time_point,
                         std::chrono::steady_clock::time_point>;
  std::vector<Span> spans_;  // guarded by mutex_
  std::thread acceptThread_;
  mutable std::mutex mutex_;  // guards requests_ and workers_
  std::vector<std::string> requests_;
  std::vector<std::thread> workers_;
};

}  // namespace testing_support

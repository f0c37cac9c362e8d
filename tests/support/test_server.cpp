#include "tests/support/test_server.h"

#include <chrono>
#include <cstdlib>

namespace testing_support {

namespace {

constexpr int kPollMs = 50;
constexpr int kServerSocketTimeoutMs = 10000;
constexpr size_t kMaxRequestBytes = 64 * 1024;

}  // namespace

long RangeStartOf(const std::string& request) {
  const std::string field = "\r\nRange: bytes=";
  size_t at = request.find(field);
  if (at == std::string::npos) return -1;
  return std::strtol(request.c_str() + at + field.size(), nullptr, 10);
}

Reply FileReply(const std::string& request, const std::string& body, const FileOptions& options) {
  long start = options.honourRange ? RangeStartOf(request) : -1;
  bool partial = start > 0 && static_cast<size_t>(start) <= body.size();
  std::string content = partial ? body.substr(static_cast<size_t>(start)) : body;

  std::string header = !options.statusLine.empty() ? options.statusLine
                       : partial                   ? "HTTP/1.1 206 Partial Content"
                                                   : "HTTP/1.1 200 OK";
  header += "\r\nServer: vantreo-test\r\n";
  if (partial) {
    header += "Content-Range: bytes " + std::to_string(start) + "-" +
              std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) + "\r\n";
  }
  if (options.headerPadding > 0) header += "X-Filler: " + std::string(options.headerPadding, 'f') + "\r\n";
  header += options.fields;
  if (options.sendLength) {
    header += "Content-Length: " +
              (options.lengthText.empty() ? std::to_string(content.size()) : options.lengthText) +
              "\r\n";
  }
  header += "\r\n";
  Reply reply;
  reply.bytes = header + content;
  return reply;
}

std::string MakeBody(size_t size, unsigned seed) {
  std::string body(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    body[i] = static_cast<char>(state >> 24);
  }
  return body;
}

bool TestServer::Start(const std::string& address, int port, Handler handler,
                       bool* permissionDenied) {
  Stop();
  listener_ = platform::Socket(platform::ListenTcp(address, port, permissionDenied));
  if (!listener_.IsValid()) return false;
  handler_ = std::move(handler);
  address_ = address;
  port_ = platform::LocalPort(listener_.Handle());
  stopping_.store(false);
  connections_.store(0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    spans_.clear();
  }
  acceptThread_ = std::thread(&TestServer::AcceptLoop, this);
  return true;
}

void TestServer::Stop() {
  stopping_.store(true);
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
  listener_.Close();
}

std::vector<std::string> TestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool TestServer::WaitForRequests(size_t count, int timeoutMs) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Requests().size() < count) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void TestServer::AcceptLoop() {
  while (!stopping_.load()) {
    platform::Socket connection(platform::AcceptConnection(listener_.Handle(), kPollMs));
    if (!connection.IsValid()) continue;
    connections_.fetch_add(1);
    platform::SetSocketTimeouts(connection.Handle(), kServerSocketTimeoutMs,
                                kServerSocketTimeoutMs);
    std::lock_guard<std::mutex> lock(mutex_);
    spans_.emplace_back(std::chrono::steady_clock::now(),
                        std::chrono::steady_clock::time_point::max());
    workers_.emplace_back(&TestServer::Serve, this, std::move(connection), spans_.size() - 1);
  }
}

void TestServer::Wait(int milliseconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!stopping_.load() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool TestServer::ReadRequest(platform::Socket& connection, std::string& request) {
  request.clear();
  char buffer[1024];
  while (!stopping_.load() && request.size() < kMaxRequestBytes) {
    if (!platform::WaitReadable(connection.Handle(), kPollMs)) continue;
    int got = platform::ReceiveBytes(connection.Handle(), buffer, sizeof buffer);
    if (got <= 0) return !request.empty();
    request.append(buffer, static_cast<size_t>(got));
    if (request.find("\r\n\r\n") != std::string::npos) return true;
  }
  return false;
}

bool TestServer::SendPaced(platform::Socket& connection, const std::string& bytes,
                           const Reply& pace) {
  const int delayPerKiBMs = pace.delayPerKiBMs;
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (stopping_.load()) return false;
    size_t piece = bytes.size() - sent;
    if (delayPerKiBMs > 0 && piece > pace.pieceBytes) piece = pace.pieceBytes;
    int done = platform::SendBytes(connection.Handle(), bytes.data() + sent,
                                   static_cast<int>(piece));
    if (done <= 0) return false;
    sent += static_cast<size_t>(done);
    if (delayPerKiBMs > 0 && !WaitUnlessClosed(connection, delayPerKiBMs, !pace.readNext))
      return false;
  }
  return true;
}

bool TestServer::WaitUnlessClosed(platform::Socket& connection, int milliseconds,
                                  bool watchClose) {
  if (!watchClose) {
    Wait(milliseconds);
    return true;
  }
  // No other request comes on this connection: anything readable is its end (or is dropped).
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!stopping_.load() && std::chrono::steady_clock::now() < end) {
    if (!platform::WaitReadable(connection.Handle(), 10)) continue;
    char scratch[256];
    if (platform::ReceiveBytes(connection.Handle(), scratch, sizeof scratch) <= 0) return false;
  }
  return true;
}

int TestServer::MaxOpenConnections(int graceMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int most = 0;
  for (const Span& span : spans_) {
    // Count the connections open at the moment this one begins to count.
    const auto at = span.first + std::chrono::milliseconds(graceMs);
    int open = 0;
    for (const Span& other : spans_) {
      if (other.first + std::chrono::milliseconds(graceMs) <= at && other.second > at) ++open;
    }
    most = open > most ? open : most;
  }
  return most;
}

void TestServer::Serve(platform::Socket connection, size_t span) {
  struct Ended {
    TestServer& server;
    size_t span;
    ~Ended() {
      std::lock_guard<std::mutex> lock(server.mutex_);
      server.spans_[span].second = std::chrono::steady_clock::now();
    }
  } ended{*this, span};
  for (int exchange = 0;; ++exchange) {
    std::string request;
    bool complete = ReadRequest(connection, request);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    if (!complete) return;
    Reply reply = handler_(request, exchange);

    std::string bytes = reply.bytes.substr(0, reply.closeAfter);
    size_t pauseAt = reply.pauseAfter < bytes.size() ? reply.pauseAfter : bytes.size();
    if (!SendPaced(connection, bytes.substr(0, pauseAt), reply)) return;
    if (reply.pauseMs > 0) Wait(reply.pauseMs);
    if (!SendPaced(connection, bytes.substr(pauseAt), reply)) return;
    if (reply.closeAfter != Reply::kAll) return;
    if (reply.holdOpenMs > 0) Wait(reply.holdOpenMs);
    if (!reply.readNext) return;
  }
}

}  // namespace testing_support

// Whatever a proxy answers to CONNECT: the tunnel opens exactly when the reply header read is
// whole with a 2xx status line, and an open tunnel carries every byte that followed the header.
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <thread>

#include "download/http_header.h"
#include "download/socket_layer.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxInput = 64 * 1024;
constexpr int kWaitMs = 5000;
const char kExpectedRequest[] =
    "CONNECT a.b:80 HTTP/1.1\r\nHost: a.b:80\r\n"
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n\r\n";

std::string ReceiveAll(platform::socket_t socket) {
  std::string bytes;
  char buffer[4096];
  int got;
  while ((got = platform::ReceiveBytes(socket, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<size_t>(got));
  return bytes;
}

// The proxy: takes one connection, reads the request up to its blank line, answers with the
// input and closes.
void Answer(platform::socket_t listener, const std::string& reply, std::string& request) {
  platform::Socket connection(platform::AcceptConnection(listener, kWaitMs));
  FUZZ_CHECK(connection.IsValid());
  platform::SetSocketTimeouts(connection.Handle(), kWaitMs, kWaitMs);
  char byte;
  while (request.find("\r\n\r\n") == std::string::npos &&
         platform::ReceiveBytes(connection.Handle(), &byte, 1) == 1)
    request += byte;
  size_t sent = 0;
  while (sent < reply.size()) {
    int done = platform::SendBytes(connection.Handle(), reply.data() + sent,
                                   static_cast<int>(reply.size() - sent));
    if (done <= 0) break;
    sent += static_cast<size_t>(done);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > kMaxInput) return 0;
  static platform::Socket listener(platform::ListenTcp("127.0.0.1", 0));
  FUZZ_CHECK(listener.IsValid());
  static const int port = platform::LocalPort(listener.Handle());

  const std::string reply(reinterpret_cast<const char*>(bytes), size);
  std::string request;
  std::thread proxy(Answer, listener.Handle(), std::cref(reply), std::ref(request));
  platform::Socket tunnel = FuzzDownloader::OpenProxyTunnel("127.0.0.1", port, "a.b", 80);
  std::string rest;
  if (tunnel.IsValid()) rest = ReceiveAll(tunnel.Handle());
  proxy.join();
  FUZZ_CHECK(request == kExpectedRequest);

  std::string header = reply.substr(0, ExpectedHeaderLength(reply));
  const ResponseHeader parsed = ParseResponseHeader(header);
  const bool established = parsed.complete && parsed.statusValid && parsed.status / 100 == 2;
  FUZZ_CHECK(tunnel.IsValid() == established);
  if (established) FUZZ_CHECK(header + rest == reply);
  return 0;
}

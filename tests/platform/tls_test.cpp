// The TLS stream against nginx with certificates made at test time (tls_peers.sh), and against
// peers that never finish a handshake. The same cases run natively (OpenSSL) and under Wine
// (SChannel, the roots pinned: the Wine prefix's own store is never changed).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "download/socket_layer.h"
#include "platform/files.h"
#include "platform/tls.h"
#include "tests/support/temp_dir.h"

using platform::TlsError;
using platform::TlsStream;
using testing_support::ReadFile;

namespace {

SocketLayer socketLayer;

constexpr int kTimeoutMs = 5000;
const char kName[] = "tls.vantreo.test";

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string FirstLine(const std::string& text) {
  size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

class TlsPeerTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("VANTREO_TLS_PEER_DIR");
    ASSERT_NE(dir, nullptr) << "VANTREO_TLS_PEER_DIR is not set: run this test through ctest";
    peer = dir;
    if (platform::PathExists(peer + "/not-started"))
      GTEST_SKIP() << FirstLine(ReadFile(peer + "/not-started"));
    address = FirstLine(ReadFile(peer + "/address"));
    ASSERT_FALSE(address.empty()) << "nginx was not started";
    root = ReadFile(peer + "/certs/root.pem");
    ASSERT_NE(root.find("BEGIN CERTIFICATE"), std::string::npos);
  }

  TlsError Open(TlsStream& stream, int port, const std::string& host, const std::string& roots) {
    platform::Socket socket = SocketLayer::ConnectWithTimeout(address, port);
    if (!socket.IsValid()) return TlsError::IoFailed;
    return stream.Connect(std::move(socket), host, roots, kTimeoutMs);
  }

  bool SendRequest(TlsStream& stream, const std::string& range, bool close) {
    const std::string request = "GET /files/data.bin HTTP/1.1\r\nHost: " + std::string(kName) +
                                "\r\nRange: bytes=" + range + "\r\n" +
                                (close ? "Connection: close\r\n" : "") + "\r\n";
    return stream.Send(request.data(), static_cast<int>(request.size())) == TlsError::None;
  }

  // Everything until the peer closes, received in small pieces.
  static TlsError ReceiveAll(TlsStream& stream, std::string& bytes) {
    char buffer[1000];
    for (;;) {
      int got = 0;
      TlsError error = stream.Receive(buffer, sizeof buffer, 100, got);
      if (error == TlsError::None) bytes.append(buffer, static_cast<size_t>(got));
      else if (error != TlsError::TimedOut) return error;
    }
  }

  std::string peer;
  std::string address;
  std::string root;
};

TEST_F(TlsPeerTest, PinnedRootGivesARangedBodyByteIdentical) {
  const std::string file = ReadFile(peer + "/www/files/data.bin");
  ASSERT_EQ(file.size(), 3000000u);
  // By name and by address: the address is found among the certificate's IP entries.
  for (const std::string& host : {std::string(kName), address}) {
    TlsStream stream;
    ASSERT_EQ(Open(stream, 443, host, root), TlsError::None) << host;
    EXPECT_TRUE(stream.IsOpen());
    EXPECT_NE(stream.PeerSubject().find("CN=tls.vantreo.test"), std::string::npos)
        << stream.PeerSubject();
    ASSERT_TRUE(SendRequest(stream, "1000001-", true));
    std::string response;
    EXPECT_EQ(ReceiveAll(stream, response), TlsError::Closed);
    const size_t bodyStart = response.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos);
    EXPECT_EQ(FirstLine(response), "HTTP/1.1 206 Partial Content");
    EXPECT_TRUE(response.compare(bodyStart + 4, std::string::npos, file, 1000001) == 0)
        << "body of " << response.size() - bodyStart - 4 << " bytes differs";
  }
}

TEST_F(TlsPeerTest, WaitReadableSeesDecryptedBytesNotYetTaken) {
  TlsStream stream;
  ASSERT_EQ(Open(stream, 443, kName, root), TlsError::None);
  // A short answer on a kept-alive connection: once it is in, the socket has nothing more.
  ASSERT_TRUE(SendRequest(stream, "0-99", false));
  // The whole answer arrives; the first receive takes part of it off the socket.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  char buffer[64];
  int got = 0;
  ASSERT_EQ(stream.Receive(buffer, 10, kTimeoutMs, got), TlsError::None);
  ASSERT_EQ(got, 10);
  std::string answer(buffer, 10);
  auto complete = [&] {
    const size_t end = answer.find("\r\n\r\n");
    return end != std::string::npos && answer.size() - end - 4 >= 100;
  };
  while (!complete()) {
    // What is left is buffered in the stream (or on the socket): readable without a wait.
    ASSERT_TRUE(stream.WaitReadable(0)) << answer.size() << " bytes so far";
    ASSERT_EQ(stream.Receive(buffer, sizeof buffer, kTimeoutMs, got), TlsError::None);
    // Never more than asked for, even with more buffered.
    ASSERT_LE(got, 64);
    answer.append(buffer, static_cast<size_t>(got));
  }
  const size_t bodyStart = answer.find("\r\n\r\n");
  EXPECT_EQ(answer.size() - bodyStart - 4, 100u);
  // All taken: nothing is readable on the silent connection now.
  EXPECT_FALSE(stream.WaitReadable(200));
}

// Carries one connection to the TLS peer and back in pieces of 1 to 40 bytes, each sent on its
// own after a pause, so that handshake messages and records arrive cut at every kind of place.
class ChoppingRelay {
 public:
  ChoppingRelay(const std::string& address, int port) {
    listener_ = platform::Socket(platform::ListenTcp("127.0.0.1", 0));
    port_ = platform::LocalPort(listener_.Handle());
    thread_ = std::thread([this, address, port] { Run(address, port); });
  }
  ~ChoppingRelay() {
    done_.store(true);
    thread_.join();
  }
  int Port() const { return port_; }

 private:
  void Run(const std::string& address, int port) {
    platform::Socket client(platform::AcceptConnection(listener_.Handle(), 5000));
    platform::Socket server = SocketLayer::ConnectWithTimeout(address, port);
    unsigned seed = 17;
    while (!done_.load() && client.IsValid() && server.IsValid()) {
      bool moved = false;
      for (auto* from : {&client, &server}) {
        platform::Socket* to = from == &client ? &server : &client;
        if (!platform::WaitReadable(from->Handle(), 0)) continue;
        seed = seed * 1103515245u + 12345u;
        char piece[40];
        const int got = platform::ReceiveBytes(from->Handle(), piece, 1 + (seed >> 16) % 40);
        // One side closed: both are closed on return.
        if (got <= 0 || platform::SendBytes(to->Handle(), piece, got) != got) return;
        moved = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (!moved) platform::WaitReadable(server.Handle(), 5);
    }
  }

  platform::Socket listener_;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(TlsPeerTest, StreamCutIntoSmallPiecesArrivesWhole) {
  const std::string file = ReadFile(peer + "/www/files/data.bin");
  ChoppingRelay relay(address, 443);
  TlsStream stream;
  ASSERT_EQ(stream.Connect(SocketLayer::ConnectWithTimeout("127.0.0.1", relay.Port()), kName,
                           root, kTimeoutMs),
            TlsError::None);
  ASSERT_TRUE(SendRequest(stream, "12345-32344", true));
  std::string response;
  EXPECT_EQ(ReceiveAll(stream, response), TlsError::Closed);
  const size_t bodyStart = response.find("\r\n\r\n");
  ASSERT_NE(bodyStart, std::string::npos);
  EXPECT_EQ(response.substr(bodyStart + 4), file.substr(12345, 20000));
}

TEST_F(TlsPeerTest, CertificateFaultsAreRefusedWithTheirReasons) {
  const std::string otherRoot = ReadFile(peer + "/certs/other-root.pem");
  struct Case {
    const char* what;
    int port;
    std::string host;
    std::string roots;
    TlsError expected;
  };
  const Case cases[] = {
      {"leaf of another CA", 4431, kName, root, TlsError::UntrustedRoot},
      {"leaf for another name", 4432, kName, root, TlsError::NameMismatch},
      {"leaf without its intermediate", 4433, kName, root, TlsError::UntrustedRoot},
      {"leaf past its validity", 4434, kName, root, TlsError::Expired},
      {"good leaf, system roots only", 443, kName, "", TlsError::UntrustedRoot},
      {"good leaf, another root pinned", 443, kName, otherRoot, TlsError::UntrustedRoot},
      {"good leaf, asked for another name", 443, "www.vantreo.test", root,
       TlsError::NameMismatch},
      {"good leaf, asked for another address", 443, "127.0.0.99", root,
       TlsError::NameMismatch},
      {"pinned roots without a certificate", 443, kName, "not a PEM", TlsError::BadRoots},
  };
  for (const Case& c : cases) {
    TlsStream stream;
    const TlsError result = Open(stream, c.port, c.host, c.roots);
    EXPECT_EQ(result, c.expected) << c.what << ": " << platform::TlsErrorText(result);
    EXPECT_FALSE(stream.IsOpen()) << c.what;
    int got = 0;
    char byte;
    EXPECT_EQ(stream.Receive(&byte, 1, 0, got), TlsError::IoFailed) << c.what;
  }
}

TEST_F(TlsPeerTest, ReceiveOnASilentConnectionEndsSoonAfterAStop) {
  TlsStream stream;
  ASSERT_EQ(Open(stream, 443, kName, root), TlsError::None);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> stoppedAt{0};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    stoppedAt.store(Clock::now().time_since_epoch().count());
    stop.store(true);
  });
  double longestCall = 0;
  while (!stop.load()) {
    char buffer[256];
    int got = 0;
    const Clock::time_point call = Clock::now();
    EXPECT_EQ(stream.Receive(buffer, sizeof buffer, 100, got), TlsError::TimedOut);
    longestCall = std::max(longestCall, MillisecondsSince(call));
  }
  const double afterStop =
      MillisecondsSince(Clock::time_point(Clock::duration(stoppedAt.load())));
  stopper.join();
  EXPECT_LT(afterStop, 200.0);
  EXPECT_LT(longestCall, 200.0);
  EXPECT_GE(longestCall, 90.0);
}

// A TCP peer that accepts, then waits for the client's first bytes when told to, sends
// `reply`, and then either stays silent or closes. Closed with the client's hello unread, the
// connection is reset rather than ended.
class ScriptedPeer {
 public:
  enum class After { StaySilent, Close };
  explicit ScriptedPeer(std::string reply = "", After after = After::StaySilent,
                        bool readHello = false)
      : reply_(std::move(reply)) {
    listener_ = platform::Socket(platform::ListenTcp("127.0.0.1", 0));
    port_ = platform::LocalPort(listener_.Handle());
    thread_ = std::thread([this, after, readHello] {
      platform::Socket peer(platform::AcceptConnection(listener_.Handle(), 5000));
      char hello[4096];
      if (readHello && platform::WaitReadable(peer.Handle(), 5000))
        platform::ReceiveBytes(peer.Handle(), hello, sizeof hello);
      if (!reply_.empty())
        platform::SendBytes(peer.Handle(), reply_.data(), static_cast<int>(reply_.size()));
      if (after == After::Close) return;
      while (!done_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
  }
  ~ScriptedPeer() {
    done_.store(true);
    thread_.join();
  }
  int Port() const { return port_; }

 private:
  const std::string reply_;
  platform::Socket listener_;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(TlsHandshake, SilentServerStallsAtTheTimeOutOrEndsSoonAfterAStop) {
  {
    ScriptedPeer peer;
    TlsStream stream;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(stream.Connect(SocketLayer::ConnectWithTimeout("127.0.0.1", peer.Port()), kName,
                             "", 1000),
              TlsError::Stalled);
    EXPECT_GT(MillisecondsSince(start), 900.0);
    EXPECT_LT(MillisecondsSince(start), 1500.0);
  }
  {
    ScriptedPeer peer;
    TlsStream stream;
    const Clock::time_point start = Clock::now();
    auto stopped = [&] { return MillisecondsSince(start) > 300.0; };
    EXPECT_EQ(stream.Connect(SocketLayer::ConnectWithTimeout("127.0.0.1", peer.Port()), kName,
                             "", kTimeoutMs, stopped),
              TlsError::Stopped);
    EXPECT_LT(MillisecondsSince(start), 500.0);
  }
}

// Only the server's own answer ends a download for good (a refusal of every protocol or
// cipher, or no TLS at all); a transport that ends under the handshake is tried again.
TEST(TlsHandshake, ACutTransportIsAnIoFailureAndARefusalAFailedHandshake) {
  using After = ScriptedPeer::After;
  // A record of the handshake type that promises 80 bytes and brings 4.
  const std::string halfRecord("\x16\x03\x03\x00\x50\x02\x00\x00\x4c", 9);
  // A fatal handshake_failure alert: what a server with no protocol or cipher in common sends.
  const std::string refusal("\x15\x03\x03\x00\x02\x02\x28", 7);
  struct Case {
    const char* what;
    std::string reply;
    After after;
    bool readHello;
    TlsError expected;
  } cases[] = {
      {"reset before the hello is read", "", After::Close, false, TlsError::IoFailed},
      {"closed after the hello", "", After::Close, true, TlsError::IoFailed},
      {"closed within the first record", halfRecord, After::Close, true, TlsError::IoFailed},
      {"no protocol or cipher in common", refusal, After::Close, true, TlsError::HandshakeFailed},
      {"a plain HTTP server", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n",
       After::StaySilent, true, TlsError::HandshakeFailed},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer(c.reply, c.after, c.readHello);
    TlsStream stream;
    const TlsError result = stream.Connect(
        SocketLayer::ConnectWithTimeout("127.0.0.1", peer.Port()), kName, "", kTimeoutMs);
    EXPECT_EQ(result, c.expected) << c.what << ": " << platform::TlsErrorText(result);
    EXPECT_FALSE(stream.IsOpen()) << c.what;
  }
}

}  // namespace

// The connection layer: connect and its time-outs, one send, the byte-wise header read, and
// the CONNECT tunnel against a scripted proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "download/socket_layer.h"
#include "tests/download/downloader_probe.h"
#include "tests/support/test_server.h"

using testing_support::Reply;
using testing_support::TestServer;

namespace {

SocketLayer socketLayer;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Reply Send(const std::string& bytes) {
  Reply reply;
  reply.bytes = bytes;
  return reply;
}

// A server that answers every request with the same bytes.
bool Serve(TestServer& server, const std::string& bytes, int holdOpenMs = 0) {
  return server.Start("127.0.0.1", 0, [bytes, holdOpenMs](const std::string&, int) {
    Reply reply = Send(bytes);
    reply.holdOpenMs = holdOpenMs;
    return reply;
  });
}

std::string Receive(platform::Socket& socket, int length) {
  std::string bytes;
  char buffer[256];
  while (static_cast<int>(bytes.size()) < length) {
    int got = platform::ReceiveBytes(socket.Handle(), buffer,
                                     std::min<int>(sizeof buffer, length - bytes.size()));
    if (got <= 0) break;
    bytes.append(buffer, got);
  }
  return bytes;
}

TEST(ConnectWithTimeout, ConnectsToListeningPeer) {
  TestServer server;
  ASSERT_TRUE(Serve(server, "pong"));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", server.Port());
  ASSERT_TRUE(socket.IsValid());
  // The socket comes back blocking: a plain send and receive work on it.
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "ping\r\n\r\n"));
  EXPECT_EQ(Receive(socket, 4), "pong");
  EXPECT_EQ(DownloaderProbe::ConnectDirect("127.0.0.1", server.Port()).IsValid(), true);
}

TEST(ConnectWithTimeout, UnresolvableNameFailsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  // An empty label: rejected by the resolver itself, no query leaves the machine.
  EXPECT_EQ(SocketLayer::ConnectWithTimeout("a..b", 80).Handle(), platform::kInvalidSocket);
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST(ConnectWithTimeout, RefusedConnectionFailsAtOnce) {
  int port;
  {
    platform::Socket probe(platform::ListenTcp("127.0.0.1", 0));
    ASSERT_TRUE(probe.IsValid());
    port = platform::LocalPort(probe.Handle());
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SocketLayer::ConnectWithTimeout("127.0.0.1", port).IsValid());
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST(ConnectWithTimeout, PeerThatNeverAnswersFailsAfterFiveSeconds) {
  // A listener that never accepts, its queue filled: further connection attempts go
  // unanswered, as with a host that drops them.
  platform::Socket listener(platform::ListenTcp("127.0.0.1", 0, nullptr, 0));
  ASSERT_TRUE(listener.IsValid());
  int port = platform::LocalPort(listener.Handle());
  std::vector<platform::Socket> filling;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 8; ++i) {
    start = std::chrono::steady_clock::now();
    platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", port);
    if (!socket.IsValid()) break;
    filling.push_back(std::move(socket));
  }
  double waited = SecondsSince(start);
  ASSERT_LT(filling.size(), 8u) << "the listen queue never filled";
  EXPECT_GT(waited, 4.5);
  EXPECT_LT(waited, 7.0);
}

TEST(ConnectWithTimeout, ConnectTheSystemRefusesAtOnceIsNoConnection) {
  // The broadcast address may not be connected to without SO_BROADCAST: connect fails at once,
  // and the socket it leaves must not pass for a connected one.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SocketLayer::ConnectWithTimeout("255.255.255.255", 80).IsValid());
  EXPECT_LT(SecondsSince(start), 1.0);
}

platform::NetAddress AddressOf(const std::string& literal, int port) {
  std::vector<platform::NetAddress> found;
  std::string why;
  EXPECT_TRUE(platform::ResolveHost(literal, port, found, why)) << literal << ": " << why;
  return found.empty() ? platform::NetAddress() : found[0];
}

// A listener that never accepts, its queue (its length and one more) filled by `filling`'s
// connects: a later connect goes unanswered, as to a node that drops its packets.
platform::Socket DeadListener(const std::string& address, std::vector<platform::Socket>& filling) {
  platform::Socket listener(platform::ListenTcp(address, 0, nullptr, 0));
  if (!listener.IsValid()) return listener;
  const platform::NetAddress self = AddressOf(address, platform::LocalPort(listener.Handle()));
  for (int i = 0; i < 4; ++i) {
    filling.emplace_back(platform::OpenTcpSocket(self.v6));
    std::string why;
    platform::SetSocketNonBlocking(filling.back().Handle(), true);
    platform::StartConnect(filling.back().Handle(), self, why);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return listener;
}

TEST(HappyEyeballs, FamiliesAlternateIPv6First) {
  const platform::NetAddress a4 = AddressOf("127.0.0.1", 80);
  const platform::NetAddress b4 = AddressOf("127.0.0.2", 80);
  const platform::NetAddress a6 = AddressOf("::1", 80);
  const platform::NetAddress b6 = AddressOf("::2", 80);
  std::vector<std::string> order;
  for (const platform::NetAddress& address : InterleaveFamilies({a4, b4, a6, b6}))
    order.push_back(address.Text());
  EXPECT_EQ(order, (std::vector<std::string>{"::1", "127.0.0.1", "::2", "127.0.0.2"}));
  EXPECT_EQ(InterleaveFamilies({a4, b4}).size(), 2u);
}

// Each case: the first address (dead: drops the connect; refused: nobody listens), then a live
// one on the same port. The live one wins about 250 ms after a dead first one began, and at
// once after a refusal.
TEST(HappyEyeballs, FirstToConnectWinsAndLaterTriesStartThere) {
  struct Case {
    const char* name;
    bool dead;
    double atLeast;
    double atMost;
  };
  const Case cases[] = {{"dead first", true, 0.2, 0.6}, {"refused first", false, 0.0, 0.2}};
  for (const Case& c : cases) {
    std::vector<platform::Socket> filling;
    platform::Socket dead = c.dead ? DeadListener("127.0.0.220", filling) : platform::Socket();
    ASSERT_EQ(dead.IsValid(), c.dead) << c.name;
    int port = c.dead ? platform::LocalPort(dead.Handle()) : 0;
    TestServer live;
    ASSERT_TRUE(live.Start("127.0.0.221", port, [](const std::string&, int) { return Send("hi"); }));
    port = live.Port();
    std::vector<std::string> lines;
    platform::NetAddress winner;
    DownloadError error;
    const auto start = std::chrono::steady_clock::now();
    platform::Socket socket = ConnectFirst(
        {AddressOf("127.0.0.220", port), AddressOf("127.0.0.221", port)}, port, StopTest(),
        [&lines](const std::string& line) { lines.push_back(line); }, winner, error);
    const double took = SecondsSince(start);
    ASSERT_TRUE(socket.IsValid()) << c.name << ": " << error.reason;
    EXPECT_EQ(winner.Text(), "127.0.0.221") << c.name;
    EXPECT_GE(took, c.atLeast) << c.name;
    EXPECT_LT(took, c.atMost) << c.name;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().compare(0, 30, "127.0.0.221:" + std::to_string(port) + " connected in"), 0)
        << lines.back();
    if (!c.dead) {
      EXPECT_NE(lines.front().find("127.0.0.220"), std::string::npos) << lines.front();
    }
  }
}

TEST(HappyEyeballs, NoAddressAnsweringOrResolvingNamesEachFault) {
  int port;
  {
    platform::Socket probe(platform::ListenTcp("127.0.0.222", 0));
    port = platform::LocalPort(probe.Handle());
  }
  platform::NetAddress winner;
  DownloadError error;
  platform::Socket socket = ConnectFirst({AddressOf("127.0.0.222", port), AddressOf("::1", port)},
                                         port, StopTest(), ConnectLog(), winner, error);
  EXPECT_FALSE(socket.IsValid());
  EXPECT_EQ(error.kind, DownloadErrorKind::Connect);
  EXPECT_NE(error.reason.find("127.0.0.222:" + std::to_string(port)), std::string::npos) << error.reason;
  EXPECT_NE(error.reason.find("[::1]:" + std::to_string(port)), std::string::npos) << error.reason;

  HostAddresses unknown("a..b", 80);
  const DownloadError unresolved = unknown.Resolve();
  EXPECT_EQ(unresolved.kind, DownloadErrorKind::Connect);
  EXPECT_NE(unresolved.reason.find("a..b does not resolve"), std::string::npos) << unresolved.reason;
  EXPECT_TRUE(unknown.TryOrder().empty());
}

TEST(ConnectWithTimeout, ServerOnIPv6LoopbackOnlyByLiteral) {
  TestServer server;
  ASSERT_TRUE(server.Start("::1", 0, [](const std::string&, int) { return Send("six"); }));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("[::1]", server.Port());
  ASSERT_TRUE(socket.IsValid());
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "ping\r\n\r\n"));
  EXPECT_EQ(Receive(socket, 3), "six");
}

TEST(ReceiveHeader, StopsAtBlankLineAndLeavesBodyInSocket) {
  TestServer server;
  const std::string header = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
  ASSERT_EQ(header.size(), 25u);
  ASSERT_TRUE(Serve(server, header + "body"));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", server.Port());
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "GET\r\n\r\n"));
  char buffer[kHeaderBufferSize];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(DownloaderProbe::ReceiveHeader(socket, buffer), 25);
  EXPECT_EQ(std::string(buffer, 25), header);
  EXPECT_EQ(buffer[25], '\0');
  EXPECT_EQ(Receive(socket, 4), "body");
}

TEST(ReceiveHeader, KeepsFirst1024BytesOfLongerHeader) {
  TestServer server;
  std::string header = "HTTP/1.1 200 OK\r\nX: " + std::string(1500, 'a') + "\r\n\r\n";
  ASSERT_TRUE(Serve(server, header));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", server.Port());
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "GET\r\n\r\n"));
  char buffer[kHeaderBufferSize];
  ASSERT_EQ(DownloaderProbe::ReceiveHeader(socket, buffer), 1024);
  EXPECT_EQ(std::string(buffer), header.substr(0, 1024));
  // Nothing was read past the limit.
  EXPECT_EQ(Receive(socket, 8), header.substr(1024, 8));
}

TEST(ReceiveHeader, PeerClosingMidHeaderGivesWhatCame) {
  TestServer server;
  ASSERT_TRUE(Serve(server, "HTTP/1.1 2"));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", server.Port());
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "GET\r\n\r\n"));
  char buffer[kHeaderBufferSize];
  EXPECT_EQ(DownloaderProbe::ReceiveHeader(socket, buffer), 10);
  EXPECT_STREQ(buffer, "HTTP/1.1 2");
}

TEST(ReceiveHeader, SilentPeerEndsReadAfterReceiveTimeout) {
  TestServer server;
  ASSERT_TRUE(Serve(server, "HTTP/", 8000));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", server.Port());
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "GET\r\n\r\n"));
  char buffer[kHeaderBufferSize];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DownloaderProbe::ReceiveHeader(socket, buffer), 5);
  double waited = SecondsSince(start);
  EXPECT_GT(waited, 4.5);
  EXPECT_LT(waited, 7.0);
}

// A peer that sends a header's first line, then one more byte every `everyMs`, never ending
// it: each byte comes well within the receive time-out.
class TricklingPeer {
 public:
  explicit TricklingPeer(int everyMs) : everyMs_(everyMs) {
    listener_ = platform::Socket(platform::ListenTcp("127.0.0.1", 0));
    port_ = platform::LocalPort(listener_.Handle());
    thread_ = std::thread([this] {
      platform::Socket peer(platform::AcceptConnection(listener_.Handle(), 5000));
      const std::string start = "HTTP/1.1 200 OK\r\nX: ";
      platform::SendBytes(peer.Handle(), start.data(), static_cast<int>(start.size()));
      while (!done_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs_));
        if (platform::SendBytes(peer.Handle(), "a", 1) != 1) break;
      }
    });
  }
  ~TricklingPeer() {
    done_.store(true);
    thread_.join();
  }
  int Port() const { return port_; }

 private:
  const int everyMs_;
  platform::Socket listener_;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(ReceiveHeader, TrickledHeaderIsCutAtItsDeadline) {
  TricklingPeer peer(1000);
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", peer.Port());
  ASSERT_TRUE(socket.IsValid());
  char buffer[kHeaderBufferSize];
  auto start = std::chrono::steady_clock::now();
  int count = DownloaderProbe::ReceiveHeader(socket, buffer);
  double waited = SecondsSince(start);
  EXPECT_GT(count, 20);
  EXPECT_LT(count, 40);
  EXPECT_GT(waited, kHeaderTimeoutMs / 1000.0 - 0.5);
  EXPECT_LT(waited, kHeaderTimeoutMs / 1000.0 + 1.5);
}

TEST(ReceiveHeader, StopOfTheSegmentEndsATrickledHeaderSoon) {
  TricklingPeer peer(300);
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", peer.Port());
  ASSERT_TRUE(socket.IsValid());
  std::atomic<SegmentState> state{SegmentState::Running};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    state.store(SegmentState::Stopped);
  });
  char buffer[kHeaderBufferSize];
  auto start = std::chrono::steady_clock::now();
  DownloaderProbe::ReceiveHeader(socket, buffer,
                                 [&] { return state.load() == SegmentState::Stopped; });
  double waited = SecondsSince(start);
  stopper.join();
  EXPECT_GT(waited, 0.9);
  EXPECT_LT(waited, 1.5);
}

TEST(SendText, SendsExactlyTheText) {
  TestServer server;
  ASSERT_TRUE(Serve(server, ""));
  platform::Socket socket = SocketLayer::ConnectWithTimeout("127.0.0.1", server.Port());
  const std::string text("A\tb\0c\r\n\r\n", 9);
  ASSERT_TRUE(DownloaderProbe::SendText(socket, text));
  ASSERT_TRUE(server.WaitForRequests(1, 5000));
  EXPECT_EQ(server.Requests()[0], text);
}

TEST(SendText, FailedSendClosesTheSocket) {
  platform::Socket socket(platform::OpenTcpSocket());  // never connected
  ASSERT_TRUE(socket.IsValid());
  EXPECT_FALSE(DownloaderProbe::SendText(socket, "GET / HTTP/1.1\r\n"));
  EXPECT_EQ(socket.Handle(), platform::kInvalidSocket);
}

const char kTunnelRequest[] =
    "CONNECT a.b:80 HTTP/1.1\r\nHost: a.b:80\r\n"
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n\r\n";

TEST(OpenProxyTunnel, SendsConnectAndCarriesBytesAfterHttp10Reply) {
  TestServer proxy;
  ASSERT_TRUE(proxy.Start("127.0.0.1", 0, [](const std::string&, int exchange) {
    Reply reply = Send(exchange == 0 ? "HTTP/1.0 200 Connection established\r\n\r\n"
                                     : "tunnelled\r\n\r\n");
    reply.readNext = exchange == 0;
    return reply;
  }));
  platform::Socket socket = DownloaderProbe::OpenProxyTunnel("127.0.0.1", proxy.Port(), "a.b", 80);
  ASSERT_TRUE(socket.IsValid());
  ASSERT_TRUE(DownloaderProbe::SendText(socket, "hello\r\n\r\n"));
  char buffer[kHeaderBufferSize];
  EXPECT_EQ(DownloaderProbe::ReceiveHeader(socket, buffer), 13);
  EXPECT_STREQ(buffer, "tunnelled\r\n\r\n");
  socket.Close();
  proxy.Stop();

  std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], kTunnelRequest);
  EXPECT_EQ(requests[1], "hello\r\n\r\n");
}

TEST(OpenProxyTunnel, ReplyLineDecidesTheTunnel) {
  struct Case {
    const char* reply;
    bool opens;
  };
  const Case cases[] = {
      {"HTTP/1.0 200 Connection established\r\n\r\n", true},
      // squid's answer, and any other success line: the status decides, not its text.
      {"HTTP/1.1 200 Connection established\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nVia: 1.1 cache\r\n\r\n", true},
      {"Via: x\r\nHTTP/1.0 200 Connection established\r\n\r\n", false},
      {"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", false},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", false},
      {"HTTP/1.1 502 Bad Gateway\r\n\r\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    TestServer proxy;
    ASSERT_TRUE(Serve(proxy, c.reply));
    platform::Socket socket = DownloaderProbe::OpenProxyTunnel("127.0.0.1", proxy.Port(), "a.b", 80);
    EXPECT_EQ(socket.IsValid(), c.opens) << c.reply;
  }
}

TEST(OpenProxyTunnel, UnreachableProxyGivesNoSocket) {
  int port;
  {
    platform::Socket probe(platform::ListenTcp("127.0.0.1", 0));
    port = platform::LocalPort(probe.Handle());
  }
  EXPECT_FALSE(DownloaderProbe::OpenProxyTunnel("127.0.0.1", port, "a.b", 80).IsValid());
}

}  // namespace

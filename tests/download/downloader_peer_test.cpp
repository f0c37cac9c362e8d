// The download engine against real peers: nginx on port 80 of a loopback address, and
// tinyproxy as the proxy (http in absolute form, https tunnelled); peers.sh starts both first.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "download/socket_layer.h"
#include "tests/download/download_fixture.h"
#include "tests/support/sha256.h"

using download_test::DownloadTest;
using download_test::WaitUntil;
using testing_support::ReadFile;
using testing_support::Sha256Hex;

namespace {

SocketLayer socketLayer;

std::string FirstLine(const std::string& text) {
  size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

class PeerTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    const char* dir = std::getenv("VANTREO_PEERS_DIR");
    ASSERT_NE(dir, nullptr) << "VANTREO_PEERS_DIR is not set: run this test through ctest";
    peers = dir;
    if (platform::PathExists(peers + "/not-started"))
      GTEST_SKIP() << FirstLine(ReadFile(peers + "/not-started"));
    nginx = FirstLine(ReadFile(peers + "/nginx/address"));
    std::istringstream proxyLine(ReadFile(peers + "/tinyproxy/address"));
    proxyLine >> proxy >> proxyPort;
    ASSERT_FALSE(nginx.empty()) << "nginx was not started";
    ASSERT_FALSE(proxy.empty()) << "tinyproxy was not started";
    source = ReadFile(peers + "/nginx/www/files/setup.bin");
    ASSERT_EQ(source.size(), 3000000u);
  }

  void TearDown() override {
    OverrideProxySettings(platform::ProxySettings());
    DownloadTest::TearDown();
  }

  int CountInAccessLog(const std::string& needle, const std::string& file = "/nginx/access.log") {
    std::string log = ReadFile(peers + file);
    int count = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
      ++count;
    return count;
  }
  // Requests tinyproxy logged, of that text ("GET http://...", "CONNECT host:port").
  int CountInProxyLog(const std::string& request) {
    return CountInAccessLog("): " + request + " HTTP/1.1", "/tinyproxy/tinyproxy.log");
  }
  // Every later connection of the process goes through tinyproxy, as the settings would say.
  void UseTinyproxy() {
    platform::ProxySettings settings;
    settings.httpProxy = proxy + ":" + std::to_string(proxyPort);
    settings.httpsProxy = settings.httpProxy;
    settings.source = "the test";
    OverrideProxySettings(settings);
  }

  std::string peers;
  std::string nginx;
  std::string proxy;
  int proxyPort = 0;
  std::string source;
};

TEST_F(PeerTest, WholeDownloadFromNginxWithStopAndRestart) {
  // /slow/ is capped at 300 KB/s per connection: about 2.5 s for the file in four segments.
  ASSERT_TRUE(downloader.Start(nginx, "http://" + nginx + "/slow/", "setup.bin", stem, 4));
  EXPECT_EQ(downloader.GetTotalSize(), source.size());
  ASSERT_TRUE(WaitUntil([&] { return downloader.GetBytesDone() >= 600000; }, 20000));
  ASSERT_TRUE(downloader.Stop());
  EXPECT_FALSE(downloader.IsFinished());
  const uint64_t doneAtStop = downloader.GetBytesDone();
  PartTable saved;
  ASSERT_TRUE(ReadPartTable(stem, kMaxSegments, saved));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(downloader.Segment(i).state.load(), SegmentState::Stopped);
    EXPECT_EQ(saved.ranges[static_cast<size_t>(i)].done, downloader.Segment(i).bytesDone.load());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(downloader.GetBytesDone(), doneAtStop);
  const int rangedBefore = CountInAccessLog("\" 206 ");

  ASSERT_TRUE(downloader.Restart());
  ASSERT_TRUE(WaitUntil([&] { return downloader.IsFinished() || downloader.HasFailed(); }, 60000));
  ASSERT_FALSE(downloader.HasFailed());
  ASSERT_TRUE(downloader.CommitFile());
  const std::string merged = ReadFile(stem);
  EXPECT_EQ(merged.size(), source.size());
  EXPECT_EQ(Sha256Hex(merged), Sha256Hex(source));
  // Every segment went on from its bytes with a range request that nginx answered with 206.
  EXPECT_EQ(CountInAccessLog("\" 206 ") - rangedBefore, 4);
}

TEST_F(PeerTest, TinyproxyAsShippedTunnelsOnlyToTheTlsPorts) {
  // Its shipped settings allow CONNECT to ports 443 and 563 only: plain http must not need a
  // tunnel (it goes in absolute form), and a tunnel to port 80 or 81 is refused.
  for (int port : {80, 81}) {
    EXPECT_FALSE(DownloaderProbe::OpenProxyTunnel(proxy, proxyPort, nginx, port).IsValid()) << port;
  }
}

TEST_F(PeerTest, SegmentedDownloadThroughTinyproxy) {
  UseTinyproxy();
  const std::string request = "GET http://" + nginx + "/files/setup.bin";
  const int before = CountInProxyLog(request);
  downloader.SetTotalSize(source.size());
  ASSERT_TRUE(downloader.SetupSegments(nginx, 80, "http://" + nginx + "/files/", "setup.bin",
                                       stem, 4));
  ASSERT_TRUE(WaitUntil([&] { return downloader.IsFinished() || downloader.HasFailed(); }, 60000));
  ASSERT_FALSE(downloader.HasFailed());
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_EQ(Sha256Hex(ReadFile(stem)), Sha256Hex(source));
  // Plain http goes to the proxy as absolute-form requests, one per segment (the four and
  // those that free connections split off).
  EXPECT_GE(downloader.SegmentCount(), 4);
  EXPECT_EQ(CountInProxyLog(request) - before, downloader.SegmentCount());
}

// TLS inside the proxy's tunnel, four segments, stopped and restarted: the TLS peer of the
// TLS stream tests serves the file, capped, with its root pinned.
TEST_F(PeerTest, SegmentedHttpsThroughTinyproxyWithStopAndRestart) {
  const char* dir = std::getenv("VANTREO_TLS_PEER_DIR");
  ASSERT_NE(dir, nullptr) << "VANTREO_TLS_PEER_DIR is not set: run this test through ctest";
  const std::string tls = dir;
  if (platform::PathExists(tls + "/not-started"))
    GTEST_SKIP() << FirstLine(ReadFile(tls + "/not-started"));
  const std::string address = FirstLine(ReadFile(tls + "/address"));
  const std::string data = ReadFile(tls + "/www/files/data.bin");
  UseTinyproxy();
  const int before = CountInProxyLog("CONNECT " + address + ":443");
  downloader.SetPinnedRoots(ReadFile(tls + "/certs/root.pem"));
  downloader.SetTotalSize(data.size());
  ASSERT_TRUE(downloader.SetupSegments(address, kHttpsPort, "https://" + address + "/slow/",
                                       "data.bin", stem, 4));
  ASSERT_TRUE(WaitUntil([&] { return downloader.GetBytesDone() >= 400000; }, 20000));
  ASSERT_TRUE(downloader.Stop());
  ASSERT_FALSE(downloader.HasFailed());
  ASSERT_TRUE(downloader.Restart());
  ASSERT_TRUE(WaitUntil([&] { return downloader.IsFinished() || downloader.HasFailed(); }, 60000));
  ASSERT_FALSE(downloader.HasFailed()) << downloader.TakeFailures().error.reason;
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_EQ(Sha256Hex(ReadFile(stem)), Sha256Hex(data));
  // Each segment's connection, before and after the stop, through its own tunnel.
  EXPECT_GE(CountInProxyLog("CONNECT " + address + ":443") - before, 8);
}

}  // namespace

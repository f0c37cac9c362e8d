// While the server cannot be reached, or answers nothing usable, the retrying vantreo-fetch
// waits instead of spinning: over 10 s it uses less than 5 % of one core.
#include <atomic>
#include <cstdio>
#include <memory>

#include "download/socket_layer.h"
#include "tests/faults/fault_fixture.h"
#include "tests/faults/fetch_runner.h"

using faults::FaultTest;
using testing_support::FileReply;
using testing_support::Reply;

namespace {

SocketLayer socketLayer;

constexpr int kSeconds = 10;
constexpr double kMostCpuSeconds = kSeconds * 0.05;

class IdleCpu : public FaultTest {
 protected:
  // Runs the tool against `url` until its deadline and checks what it cost.
  void ExpectIdleRetries(const std::string& url) {
    const std::string tool = faults::FetchTool();
    ASSERT_FALSE(tool.empty()) << "VANTREO_FETCH names the tool under test";
    faults::ChildResult result = faults::RunChild(
        {tool, "--deadline", std::to_string(kSeconds), url}, {}, (kSeconds + 20) * 1000);
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.killed) << "the deadline did not end the tool";
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("gave up after " + std::to_string(kSeconds) + " s"),
              std::string::npos)
        << result.err;
    EXPECT_GE(result.wallSeconds, kSeconds - 0.5);
    EXPECT_LT(result.cpuSeconds, kMostCpuSeconds)
        << "processor time over " << result.wallSeconds << " s of retrying";
    std::printf("processor time %.3f s over %.1f s\n", result.cpuSeconds, result.wallSeconds);
    EXPECT_EQ(Leftovers(), std::vector<std::string>());
  }
};

TEST_F(IdleCpu, ConnectionRefused) {
  // Nothing listens here: the address is left to this test alone.
  ExpectIdleRetries(Url("127.0.0.118"));
}

TEST_F(IdleCpu, ServerClosesEveryConnectionAtOnce) {
  testing_support::Handler handler = [](const std::string&, int) {
    Reply reply;
    reply.closeAfter = 0;
    return reply;
  };
  FAULTS_START_ON_PORT_80(server, handler);
  ExpectIdleRetries(Url(server.Address()));
}

TEST_F(IdleCpu, EverySegmentGetsAServerError) {
  const std::string body = testing_support::MakeBody(100000, 41);
  auto requests = std::make_shared<std::atomic<int>>(0);
  testing_support::Handler handler = [body, requests](const std::string& request, int) {
    Reply reply = FileReply(request, body);
    // The first request learns the size; every segment's request after it is refused.
    if (requests->fetch_add(1) > 0)
      reply.bytes = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
    return reply;
  };
  FAULTS_START_ON_PORT_80(server, handler);
  ExpectIdleRetries(Url(server.Address()));
}

}  // namespace

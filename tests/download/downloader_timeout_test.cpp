// Servers that fall silent: a segment gives up after the 5-second receive time-out, and a Stop
// during the silence ends within it and keeps the part for the restart.
#include <gtest/gtest.h>

#include "download/socket_layer.h"
#include "tests/download/download_fixture.h"

using download_test::DownloadTest;
using download_test::SecondsSince;
using download_test::SentRequests;
using download_test::WaitUntil;
using testing_support::FileReply;
using testing_support::MakeBody;
using testing_support::RangeStartOf;
using testing_support::ReadFile;
using testing_support::Reply;

namespace {

SocketLayer socketLayer;

class SilenceTest : public DownloadTest {
 protected:
  // The first answer sends 1000 body bytes, then nothing for 8 seconds; later ones are whole.
  void ServeWithSilence() {
    body = MakeBody(5000, 31);
    ASSERT_TRUE(server.Start("127.0.0.1", 0, [this](const std::string& request, int) {
      Reply reply = FileReply(request, body);
      if (tries.fetch_add(1) == 0) {
        reply.pauseAfter = reply.bytes.size() - body.size() + 1000;
        reply.pauseMs = 8000;
      }
      return reply;
    }));
  }
};

TEST_F(SilenceTest, SilentServerFailsTheSegmentAfterFiveSeconds) {
  ServeWithSilence();
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(SetupRanges(5000, 1));
  ASSERT_TRUE(WaitUntil([&] { return downloader.HasFailed(); }, 10000));
  double waited = SecondsSince(start);
  EXPECT_GT(waited, 4.5);
  EXPECT_LT(waited, 7.0);
  EXPECT_EQ(downloader.Segment(0).bytesDone.load(), 1000u);
  // The download keeps its file open for writing until it stops.
  ASSERT_TRUE(downloader.Stop());
  EXPECT_EQ(ReadFile(DownloadPath(stem)).substr(0, 1000), body.substr(0, 1000));
}

TEST_F(SilenceTest, StopDuringSilenceKeepsPartAndRestartResumes) {
  ServeWithSilence();
  ASSERT_TRUE(SetupRanges(5000, 1));
  ASSERT_TRUE(WaitUntil([&] { return downloader.GetBytesDone() == 1000; }, 5000));
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(downloader.Stop());
  EXPECT_LT(SecondsSince(start), 6.0);
  // A stopped segment is never taken for a failed one.
  EXPECT_EQ(downloader.Segment(0).state.load(), SegmentState::Stopped);
  EXPECT_FALSE(downloader.HasFailed());
  EXPECT_EQ(downloader.GetBytesDone(), 1000u);

  ASSERT_TRUE(downloader.Restart());
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(RangeStartOf(SentRequests(server).back()), 1000);
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_EQ(ReadFile(stem), body);
}

}  // namespace

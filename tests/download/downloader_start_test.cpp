// Start as the download task calls it: the size request on port 80, then the segments. The
// scripted server binds port 80 on a loopback address of its own.
#include <gtest/gtest.h>

#include <algorithm>

#include "download/socket_layer.h"
#include "tests/download/download_fixture.h"

using download_test::DownloadTest;
using download_test::SentRequests;
using download_test::WaitUntil;
using testing_support::FileOptions;
using testing_support::FileReply;
using testing_support::MakeBody;
using testing_support::ReadFile;
using testing_support::Reply;

namespace {

SocketLayer socketLayer;

const char kUserAgentLine[] =
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n";

class StartTest : public DownloadTest {
 protected:
  bool StartDownload(int segments = 4) {
    const std::string& host = server.Address();
    return downloader.Start(host, "http://" + host + "/files/", "setup.exe", stem, segments);
  }
};

TEST_F(StartTest, LearnsSizeThenFetchesSegmentsAndMergesToItsTarget) {
  body = MakeBody(50000, 21);
  START_ON_PORT_80(server, [this](const std::string& request, int) {
    return FileReply(request, body);
  });
  ASSERT_TRUE(StartDownload());
  EXPECT_EQ(downloader.GetTotalSize(), 50000u);
  ASSERT_TRUE(WaitFinished());
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_EQ(ReadFile(stem), body);

  const std::string& host = server.Address();
  std::vector<std::string> sent = SentRequests(server);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0], "GET http://" + host + "/files/setup.exe HTTP/1.1\r\nHost: " + host +
                         "\r\nAccept: \r\nReferer: http://" + host + "/files/\r\n" +
                         kUserAgentLine + "\r\n");
}

TEST_F(StartTest, UnusableSizeAnswerFailsCleanly) {
  body = MakeBody(3000, 22);
  struct Case {
    const char* what;
    std::function<Reply(const std::string&)> answer;
  };
  auto withOptions = [this](FileOptions options) {
    return [this, options](const std::string& request) { return FileReply(request, body, options); };
  };
  auto raw = [](const char* bytes) {
    return [bytes](const std::string&) {
      Reply reply;
      reply.bytes = bytes;
      return reply;
    };
  };
  FileOptions noLength;
  noLength.sendLength = false;
  FileOptions negative;
  negative.lengthText = "-3000";
  FileOptions text;
  text.lengthText = "lots";
  FileOptions past63Bits;
  past63Bits.lengthText = "9223372036854775808";
  FileOptions longHeader;
  longHeader.headerPadding = 1200;
  FileOptions http10;
  http10.statusLine = "HTTP/1.0 200 OK";
  const Case cases[] = {
      {"no length", withOptions(noLength)},
      {"negative length", withOptions(negative)},
      {"non-numeric length", withOptions(text)},
      {"a length past 63 bits", withOptions(past63Bits)},
      {"header over 1024 bytes", withOptions(longHeader)},
      {"HTTP/1.0 answer", withOptions(http10)},
      {"302", raw("HTTP/1.1 302 Found\r\nLocation: http://x/\r\nContent-Length: 0\r\n\r\n")},
      {"404", raw("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")},
      {"no answer", raw("")},
  };
  for (const Case& c : cases) {
    server.Stop();
    auto answer = c.answer;
    START_ON_PORT_80(server, [answer](const std::string& request, int) { return answer(request); });
    DownloaderProbe fresh;
    EXPECT_FALSE(fresh.Start(server.Address(), "http://h/files/", "setup.exe", stem, 4)) << c.what;
    EXPECT_EQ(fresh.GetTotalSize(), 0u) << c.what;
    EXPECT_FALSE(fresh.IsFinished()) << c.what;
    EXPECT_FALSE(fresh.HasFailed()) << c.what;
    EXPECT_EQ(fresh.GetBytesDone(), 0u) << c.what;
    EXPECT_EQ(fresh.SegmentCount(), 0) << c.what;
    EXPECT_FALSE(platform::PathExists(DownloadPath(stem))) << c.what;
    // Nothing but the size request reached the server.
    download_test::WaitUntil([&] { return server.ConnectionCount() >= 1; }, 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.ConnectionCount(), 1) << c.what;
  }
}

TEST_F(StartTest, AnnouncedZeroLengthIsAnEmptyFile) {
  START_ON_PORT_80(server, [](const std::string& request, int) { return FileReply(request, ""); });
  ASSERT_TRUE(StartDownload());
  EXPECT_EQ(downloader.GetTotalSize(), 0u);
  ASSERT_TRUE(WaitFinished());
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_TRUE(platform::PathExists(stem));
  EXPECT_EQ(ReadFile(stem), "");
}

TEST_F(StartTest, NoServerMeansNoStart) {
  // Nothing listens on 127.0.0.39 in these tests.
  EXPECT_FALSE(downloader.Start("127.0.0.39", "http://127.0.0.39/", "f", stem, 4));
  EXPECT_FALSE(downloader.IsFinished());
  EXPECT_EQ(downloader.SegmentCount(), 0);
}

TEST_F(StartTest, SegmentCountOutsideOneToFiftyIsRefused) {
  START_ON_PORT_80(server, [](const std::string& request, int) { return FileReply(request, "x"); });
  EXPECT_FALSE(StartDownload(0));
  EXPECT_FALSE(StartDownload(51));
  EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST_F(StartTest, SecondStartDeletesTheFirstDownloadsParts) {
  body = MakeBody(9000, 23);
  START_ON_PORT_80(server, [this](const std::string& request, int) { return FileReply(request, body); });
  ASSERT_TRUE(StartDownload(3));
  ASSERT_TRUE(WaitFinished());
  ASSERT_TRUE(platform::PathExists(DownloadPath(stem)));

  const std::string other = stem + "_second";
  ASSERT_TRUE(downloader.Start(server.Address(), "http://h/files/", "setup.exe", other, 2));
  EXPECT_FALSE(platform::PathExists(DownloadPath(stem)));
  EXPECT_FALSE(platform::PathExists(SidecarPath(stem)));
  ASSERT_TRUE(WaitFinished());
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_EQ(ReadFile(other), body);
}

}  // namespace

// A download stopped at about a third, then a new downloader on the same target: the parts go
// on when the server's file is the same, the download starts over when it is not (or cannot
// be told).
TEST_F(StartTest, ANewRunContinuesThePartsOfTheSameFileOnly) {
  struct Case {
    const char* what;
    const char* validator;  // header line of the first run's answers
    bool changes;           // the file changes before the second run
    bool changesLate;       // ... only after the second run's size request
  };
  const Case cases[] = {
      {"same file: continued", "ETag: \"v1\"\r\n", false, false},
      {"same file by date: continued", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n", false,
       false},
      {"new ETag in the size answer: started over", "ETag: \"v1\"\r\n", true, false},
      {"200 to the If-Range requests: started over", "ETag: \"v1\"\r\n", true, true},
      {"no validator: started over", "", false, false},
  };
  constexpr uint32_t kSize = 400 * 1024;
  const std::string oldBody = MakeBody(kSize, 31);
  const std::string newBody = MakeBody(kSize, 32);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::atomic<bool> changed{false};
    std::atomic<bool> slow{true};
    std::atomic<int> ifRanges{0};
    START_ON_PORT_80_IN(server, ([&](const std::string& request, int) {
      const bool ifRange = request.find("\r\nIf-Range: ") != std::string::npos;
      if (ifRange) ifRanges.fetch_add(1);
      // A late change shows in the answers to the If-Range requests first.
      if (ifRange && c.changesLate) changed.store(true);
      FileOptions options;
      options.fields = changed.load() ? "ETag: \"v2\"\r\n" : c.validator;
      if (ifRange && changed.load()) options.honourRange = false;
      Reply reply = FileReply(request, changed.load() ? newBody : oldBody, options);
      if (slow.load()) reply.delayPerKiBMs = 10;
      return reply;
    }), 200, 209);
    ASSERT_TRUE(StartDownload());
    ASSERT_TRUE(WaitUntil([this] { return downloader.GetBytesDone() >= kSize / 3; }, 10000));
    ASSERT_TRUE(downloader.Stop());
    const uint64_t kept = downloader.GetBytesDone();
    std::vector<long> missing;  // where each unfinished range goes on
    for (int i = 0; i < downloader.SegmentCount(); ++i) {
      const DownloadSegment& segment = downloader.Segment(i);
      const uint64_t done = segment.bytesDone.load();
      if (done < segment.Need()) missing.push_back(static_cast<long>(segment.rangeStart + done));
    }
    const size_t firstRun = SentRequests(server).size();
    slow.store(false);
    changed.store(c.changes && !c.changesLate);

    DownloaderProbe second;
    // A segment that meets the changed file at once makes Start answer false: no matter there.
    ASSERT_TRUE(second.Start(server.Address(), "http://" + server.Address() + "/files/",
                             "setup.exe", stem, 4) || c.changesLate);
    const bool continued = c.validator[0] != '\0' && !c.changes;
    if (continued) {
      EXPECT_GE(second.GetBytesDone(), kept);
    }
    if (c.changesLate) {
      // The segment fails as the file changed; the task starts the item over.
      ASSERT_TRUE(WaitUntil([&] { return second.HasFailed(); }, 10000));
      EXPECT_TRUE(second.TakeFailures().error.NeedsStartOver());
      ASSERT_TRUE(second.StopAndDeleteParts());
      ASSERT_TRUE(second.Start(server.Address(), "http://" + server.Address() + "/files/",
                               "setup.exe", stem, 4));
    }
    ASSERT_TRUE(WaitUntil([&] { return second.IsFinished(); }, 10000));
    ASSERT_TRUE(second.CommitFile());
    EXPECT_TRUE(ReadFile(stem) == (c.changes ? newBody : oldBody));
    EXPECT_FALSE(platform::PathExists(SidecarPath(stem)));
    EXPECT_FALSE(platform::PathExists(DownloadPath(stem)));

    std::vector<std::string> sent = SentRequests(server);
    std::vector<long> asked;
    for (size_t i = firstRun + 1; i < sent.size() && asked.size() < missing.size(); ++i)
      asked.push_back(testing_support::RangeStartOf(sent[i]));
    std::sort(asked.begin(), asked.end());
    if (continued) {
      EXPECT_EQ(asked, missing);
    }
    EXPECT_EQ(ifRanges.load() > 0, continued || c.changesLate);
    downloader.Stop();
    server.Stop();
  }
}

const char kFirstTag[] = "ETag: \"v1\"\r\n";

// Within one run, a continue after a pause or a segment fetched again after its connection
// broke, while the server's file was replaced by one of the same size: whether the server honours
// If-Range or not, the download is known to start over, never stitched from both.
TEST_F(StartTest, AFileReplacedWithinTheRunIsNeverStitched) {
  constexpr uint32_t kSize = 400 * 1024;
  const std::string oldBody = MakeBody(kSize, 41);
  const std::string newBody = MakeBody(kSize, 42);
  // pause: else the connection of the range from 100 KiB on breaks once. honourIfRange: else
  // the server answers every range with 206 and its current ETag.
  for (const bool pause : {true, false})
    for (const bool honourIfRange : {true, false}) {
    SCOPED_TRACE(std::string(pause ? "paused and continued" : "a segment fetched again") +
                 (honourIfRange ? ", If-Range honoured" : ", If-Range ignored"));
    std::atomic<bool> changed{false};
    std::atomic<int> cuts{0};
    START_ON_PORT_80_IN(server, ([&](const std::string& request, int) {
      const bool ifRange = request.find("\r\nIf-Range: ") != std::string::npos;
      FileOptions options;
      options.fields = changed.load() ? "ETag: \"v2\"\r\n" : kFirstTag;
      if (ifRange && changed.load() && honourIfRange) options.honourRange = false;
      Reply reply = FileReply(request, changed.load() ? newBody : oldBody, options);
      // Paced, so that the pause comes mid-download and the broken connection fails after
      // Start has returned.
      reply.delayPerKiBMs = pause ? 10 : 1;
      if (!pause && testing_support::RangeStartOf(request) == 100 * 1024 &&
          cuts.fetch_add(1) == 0) {
        reply.closeAfter = reply.bytes.size() - (kSize - 100 * 1024) + 20 * 1024;
        changed.store(true);  // replaced while the broken segment waits for its retry
      }
      return reply;
    }), 180, 189);
    const bool started = StartDownload();  // false when the broken segment fails at once
    if (pause) {
      ASSERT_TRUE(started);
      ASSERT_TRUE(WaitUntil([&] { return downloader.GetBytesDone() >= kSize / 3; }, 10000));
      ASSERT_TRUE(downloader.Stop());
      changed.store(true);
      // A segment may learn of the new file before these return: false then, and no matter.
      downloader.Restart();
    } else {
      ASSERT_TRUE(WaitUntil([&] { return downloader.HasFailed(); }, 10000));
      downloader.RetryFailed();
    }
    ASSERT_TRUE(WaitUntil([&] { return downloader.HasFailed() || downloader.IsFinished(); }, 10000));
    EXPECT_TRUE(downloader.TakeFailures().error.NeedsStartOver());
    downloader.Stop();
    EXPECT_FALSE(downloader.CommitFile());
    downloader.StopAndDeleteParts();  // the next case starts afresh
    server.Stop();
  }
}

// The sidecar and download file of an earlier run of the same file in equal ranges, each
// recorded as whole or as holding nothing (its bytes garbage), as `whole` says.
static void PlantEarlierRun(const std::string& stem, const std::string& host,
                            const std::string& body, const std::vector<bool>& whole) {
  PartTable table{"http://" + host + "/files/setup.exe", body.size(), "\"v1\"", {}, {}};
  const uint64_t share = table.size / whole.size();
  std::string file;
  for (size_t i = 0; i < whole.size(); ++i) {
    const uint64_t start = i * share;
    const uint64_t end = i + 1 == whole.size() ? table.size : start + share;
    table.ranges.push_back({start, end, whole[i] ? end - start : 0});
    file += whole[i] ? body.substr(start, end - start) : std::string(end - start, 'x');
  }
  ASSERT_TRUE(testing_support::WriteFile(DownloadPath(stem), file));
  ASSERT_TRUE(WritePartTable(stem, table));
}

// A resumed run of eight ranges with four connections: never more than four at once; and the
// connections whose ranges are already whole take over part of the one range left.
TEST_F(StartTest, AResumedRunKeepsTheConnectionLimitAndWholePartsHelp) {
  for (const std::vector<bool>& whole :
       std::vector<std::vector<bool>>{std::vector<bool>(8, false), {false, true, true, true}}) {
    const bool splits = whole[1];
    SCOPED_TRACE(splits ? "four ranges, three whole" : "eight ranges, nothing fetched yet");
    body = MakeBody(2048 * 1024, 43);
    tries.store(0);
    START_ON_PORT_80_IN(server, ([this](const std::string& request, int) {
      FileOptions options;
      options.fields = kFirstTag;
      Reply reply = FileReply(request, body, options);
      if (tries.fetch_add(1) > 0) reply.delayPerKiBMs = 1;  // all but the size answer
      return reply;
    }), 180, 189);
    PlantEarlierRun(stem, server.Address(), body, whole);
    ASSERT_TRUE(StartDownload(4));
    ASSERT_TRUE(WaitFinished());
    // A connection counts from 50 ms after its accept: the server learns of a close late.
    EXPECT_LE(server.MaxOpenConnections(50), 4);
    if (splits) {
      EXPECT_GT(downloader.SegmentCount(), static_cast<int>(whole.size()));
    }
    ASSERT_TRUE(downloader.CommitFile());
    EXPECT_TRUE(ReadFile(stem) == body);
    downloader.Stop();
    server.Stop();
  }
}

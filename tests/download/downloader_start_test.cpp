// Start as the download task calls it: the size request on port 80, then the segments. The
// scripted server binds port 80 on a loopback address of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

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

// Several sources of one file: `server` and `second` on port 80 of 127.0.0.150-159, each with
// an ETag of its own, as CDNs give the same file.
class SourcesTest : public StartTest {
 protected:
  void SetUp() override {
    StartTest::SetUp();
    const std::vector<std::string> addresses = FreeAddresses();
    if (addresses.empty()) GTEST_SKIP() << "binding port 80 is not permitted here (run as root)";
    firstAddress = addresses[0];
    secondAddress = addresses[1];
    downloader.SetRequestLog([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex);
      log += line + "\n";
    });
  }
  void TearDown() override {
    StartTest::TearDown();
    second.Stop();
  }

  static SourceAddress Source(const std::string& address) {
    SourceAddress source;
    source.server.host = address;
    source.urlPrefix = "http://" + address + "/files/";
    source.fileName = "setup.exe";
    return source;
  }
  static std::string Url(const std::string& address) {
    return "http://" + address + "/files/setup.exe";
  }
  bool StartBoth(HttpDownloader& which) {
    return which.Start({Source(firstAddress), Source(secondAddress)}, stem, 4);
  }
  void EndCase() {
    downloader.Stop();
    server.Stop();
    second.Stop();
  }
  // The second source's range requests (its size request left out).
  std::vector<std::string> RangedFromSecond() {
    std::vector<std::string> ranged;
    for (const std::string& request : SentRequests(second))
      if (testing_support::RangeStartOf(request) > 0) ranged.push_back(request);
    return ranged;
  }
  bool Logged(const std::string& text) {
    std::lock_guard<std::mutex> lock(logMutex);
    return log.find(text) != std::string::npos;
  }
  // Serves `served` with `tag` on `on`: the size answer after `sizeDelayMs`, every other
  // answer at `perKiBMs` a KiB.
  static bool Serve(testing_support::TestServer& on, const std::string& address,
                    const std::string& served, const std::string& tag, int sizeDelayMs,
                    int perKiBMs, std::atomic<int>& count) {
    count.store(0);
    return on.Start(address, 80, [&served, tag, sizeDelayMs, perKiBMs, &count](
                                     const std::string& request, int) {
      FileOptions options;
      options.fields = "ETag: \"" + tag + "\"\r\n";
      Reply reply = FileReply(request, served, options);
      if (count.fetch_add(1) == 0) {
        reply.pauseAfter = 0;
        reply.pauseMs = sizeDelayMs;
      } else {
        reply.delayPerKiBMs = perKiBMs;
      }
      return reply;
    });
  }
  // Two addresses of the range with nothing listening (a source that is down) on port 80;
  // none when this user may not bind port 80.
  static std::vector<std::string> FreeAddresses() {
    testing_support::TestServer probes[2];
    std::vector<std::string> addresses;
    for (testing_support::TestServer& probe : probes) {
      bool denied = false;
      if (!testing_support::StartOnPort80(
              probe, [](const std::string&, int) { return Reply(); }, 150, 159, denied))
        return {};
      addresses.push_back(probe.Address());
    }
    return addresses;
  }

  testing_support::TestServer second;
  std::string firstAddress, secondAddress;
  std::string otherBody;
  std::mutex logMutex;
  std::string log;
};

// All sources are asked at once: an earlier-listed source is waited for only briefly once a
// later one has answered, so a first source that does not answer costs about the grace, not
// its connect time-out; one that answers within it still defines the file.
TEST_F(SourcesTest, TheEarliestListedAnswerDefinesTheFileWithinTheGrace) {
  struct Case {
    const char* what;
    int firstDelayMs;  // -1: the first source is down
    bool firstDefines;
    double startsAtLeast, startsWithin;
  };
  const Case cases[] = {
      {"first answers within the grace: it defines", 300, true, 0.25, 1.0},
      {"first answers after 3 s: the second defines after the grace", 3000, false, 0.9, 1.8},
      {"first down: the second defines at once", -1, false, 0, 0.8},
  };
  body = MakeBody(300 * 1024, 51);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.firstDelayMs >= 0) {
      ASSERT_TRUE(Serve(server, firstAddress, body, "a", c.firstDelayMs, 0, tries));
    }
    ASSERT_TRUE(Serve(second, secondAddress, body, "b", 0, 0, moreTries));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartBoth(downloader));
    const double took = download_test::SecondsSince(start);
    EXPECT_GE(took, c.startsAtLeast);
    EXPECT_LE(took, c.startsWithin);
    EXPECT_EQ(downloader.GetTotalSize(), body.size());
    EXPECT_EQ(downloader.Segment(0).host, c.firstDefines ? firstAddress : secondAddress);
    ASSERT_TRUE(WaitFinished());
    ASSERT_TRUE(downloader.CommitFile());
    EXPECT_TRUE(ReadFile(stem) == body);
    EndCase();
  }
}

// A source down at the start is asked again while the download runs: with the same size it
// joins (and takes over when the first source goes), with another size it gets no range.
TEST_F(SourcesTest, ASourceDownAtTheStartIsAskedAgain) {
  body = MakeBody(400 * 1024, 52);
  otherBody = MakeBody(400 * 1024 - 1, 53);
  for (const bool sameSize : {true, false}) {
    SCOPED_TRACE(sameSize ? "same size: joins" : "another size: dropped");
    {
      std::lock_guard<std::mutex> lock(logMutex);
      log.clear();
    }
    // About two seconds a range: the second source comes up while they run.
    ASSERT_TRUE(Serve(server, firstAddress, body, "a", 0, 20, tries));
    ASSERT_TRUE(StartBoth(downloader));
    EXPECT_TRUE(
        WaitUntil([&] { return Logged("source " + Url(secondAddress) + " not used: "); }, 1000));
    ASSERT_TRUE(
        Serve(second, secondAddress, sameSize ? body : otherBody, "b", 0, 0, moreTries));
    const std::string verdict = sameSize ? " joins the download" : " dropped: it serves 409599";
    ASSERT_TRUE(WaitUntil([&] { return Logged("source " + Url(secondAddress) + verdict); },
                          5000));
    if (sameSize) server.Stop();  // its ranges continue on the second source
    ASSERT_TRUE(WaitFinished());
    ASSERT_TRUE(downloader.CommitFile());
    EXPECT_TRUE(ReadFile(stem) == body);
    const std::vector<std::string> ranged = RangedFromSecond();
    for (const std::string& request : ranged)
      EXPECT_NE(request.find("If-Range: \"b\""), std::string::npos) << "its own validator";
    EXPECT_EQ(!ranged.empty(), sameSize);
    if (!sameSize) {
      EXPECT_EQ(SentRequests(second).size(), 1u) << "only the size request";
    }
    EndCase();
  }
}

// A run stopped at a third, then another downloader on the same list: it goes on when the
// sources that answer give the validators recorded for them, the first source down or not.
TEST_F(SourcesTest, ANewRunOfAListContinuesWhenTheSourcesThatAnswerAreTheSame) {
  struct Case {
    const char* what;
    bool firstDown;
    bool oldSidecar;  // the sidecar records only the defining source's validator
    const char* secondTag;
    bool continued;
  };
  const Case cases[] = {
      {"first down: continued from the second", true, false, "b", true},
      {"an earlier sidecar of one validator, both up: continued", false, true, "b", true},
      {"an earlier sidecar of one validator, first down: started over", true, true, "b", false},
      {"the second's file changed, first down: started over", true, false, "b2", false},
  };
  body = MakeBody(400 * 1024, 54);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Serve(server, firstAddress, body, "a", 0, 10, tries));
    ASSERT_TRUE(Serve(second, secondAddress, body, "b", 0, 10, moreTries));
    ASSERT_TRUE(StartBoth(downloader));
    ASSERT_TRUE(WaitUntil([this] { return downloader.GetBytesDone() >= body.size() / 3; }, 10000));
    ASSERT_TRUE(downloader.Stop());
    const uint64_t kept = downloader.GetBytesDone();
    PartTable table;
    ASSERT_TRUE(ReadPartTable(stem, kMaxSegments, table));
    EXPECT_EQ(table.validators, (std::vector<std::string>{"\"a\"", "\"b\""}));
    if (c.oldSidecar) {
      table.validators.clear();
      ASSERT_TRUE(WritePartTable(stem, table));
    }
    server.Stop();
    second.Stop();
    // Slow enough that a run started over holds less than the first one kept, at first.
    if (!c.firstDown) {
      ASSERT_TRUE(Serve(server, firstAddress, body, "a", 0, 2, tries));
    }
    ASSERT_TRUE(Serve(second, secondAddress, body, c.secondTag, 0, 2, moreTries));

    DownloaderProbe again;
    ASSERT_TRUE(StartBoth(again));
    EXPECT_EQ(again.GetBytesDone() >= kept, c.continued);
    ASSERT_TRUE(WaitUntil([&] { return again.IsFinished(); }, 10000));
    ASSERT_TRUE(again.CommitFile());
    EXPECT_TRUE(ReadFile(stem) == body);
    bool ifRange = false;
    for (const std::string& request : SentRequests(second))
      ifRange = ifRange || request.find("If-Range: \"" + std::string(c.secondTag) + "\"") !=
                               std::string::npos;
    if (c.continued) {
      EXPECT_TRUE(ifRange) << "continued from the second with its own validator";
    }
    downloader.StopAndDeleteParts();
    EndCase();
  }
}

// A source that joins while every connection runs gets the next one that starts: here the
// split a connection takes once its own range is whole.
TEST_F(SourcesTest, ASourceThatJoinsTakesTheNextConnection) {
  body = MakeBody(2048 * 1024, 55);
  // The first range is whole after about 2.5 s, the others would take 5 s (a piece each 10 ms).
  ASSERT_TRUE(server.Start(firstAddress, 80, [this](const std::string& request, int) {
    FileOptions options;
    options.fields = "ETag: \"a\"\r\n";
    Reply reply = FileReply(request, body, options);
    const bool firstRange = testing_support::RangeStartOf(request) <= 0;
    if (tries.fetch_add(1) > 0) {
      reply.delayPerKiBMs = 10;
      reply.pieceBytes = firstRange ? 2048 : 1024;
    }
    return reply;
  }));
  ASSERT_TRUE(StartBoth(downloader));
  ASSERT_TRUE(Serve(second, secondAddress, body, "b", 0, 0, moreTries));
  ASSERT_TRUE(WaitUntil([&] { return Logged("source " + Url(secondAddress) + " joins"); }, 3000));
  ASSERT_TRUE(WaitFinished());
  ASSERT_TRUE(downloader.CommitFile());
  EXPECT_TRUE(ReadFile(stem) == body);
  EXPECT_GT(downloader.SegmentCount(), 4) << "a split";
  EXPECT_GE(RangedFromSecond().size(), 1u) << "the split went to the source that joined";
  EXPECT_FALSE(Logged("continues from")) << "no source failed";
}

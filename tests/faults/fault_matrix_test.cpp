// The fault matrix against the scripted server: the download task, as the installer runs it,
// meets refused connections, drops at many points, silence, 5xx answers, servers that ignore
// Range or misstate the length, long headers, redirects, files in the way of the target and a
// stop during the merge. Every run ends with the server's exact file or a clean, reported
// failure; none may report a wrong file as success.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>

#include "download/socket_layer.h"
#include "tests/faults/fault_fixture.h"

using faults::FaultTest;
using faults::HeaderLength;
using faults::Outcome;
using faults::RunTask;
using faults::SegmentEnd;
using testing_support::FileOptions;
using testing_support::FileReply;
using testing_support::MakeBody;
using testing_support::RangeStartOf;
using testing_support::Reply;

namespace {

SocketLayer socketLayer;

// Not a multiple of the segment count: the last segment takes the remainder.
constexpr uint32_t kBodySize = 300001;
// Enough for every recovery below; a run that needs more has gone wrong.
constexpr int kSuccessDeadlineMs = 30000;
// A download that cannot succeed runs this long before it is given up.
constexpr int kFailureDeadlineMs = 2000;
// The reply the tests give instead of the file: an error or a redirect.
const char kServiceUnavailable[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";

// What a test does to the reply to request number `n` (0: the first request, which asks for
// the size); `requested` is the file offset the request asked for.
using Shape = std::function<void(Reply& reply, int n, uint32_t requested)>;

class ScriptedFaults : public FaultTest {
 protected:
  void Serve(Shape shape, FileOptions options = FileOptions()) {
    options_ = options;
    testing_support::Handler handler = [this, shape](const std::string& request, int) {
      const int n = requestCount_.fetch_add(1);
      Reply reply = FileReply(request, body, options_);
      const long range = RangeStartOf(request);
      if (shape) shape(reply, n, range > 0 ? static_cast<uint32_t>(range) : 0);
      return reply;
    };
    FAULTS_START_ON_PORT_80(server, handler);
  }

  // Where the byte a request asked for first sits in the reply: right after the header, or
  // further on when the server ignores the range and sends the file from its start.
  size_t PositionOf(const Reply& reply, uint32_t requested) const {
    return HeaderLength(reply) + (options_.honourRange ? 0 : requested);
  }

  Outcome Download(DownloadTask& task, int deadlineMs) {
    AddItem(task, server.Address());
    return RunTask(task, deadlineMs);
  }

  const std::string body = MakeBody(kBodySize, 11);
  std::atomic<int> requestCount_{0};
  FileOptions options_;
};

// --- Connection refused for a while ---------------------------------------------------------

TEST_F(ScriptedFaults, ConnectionRefusedForAWhileThenBack) {
  // This address is left to this test alone: nothing listens on it but the server below.
  const std::string address = "127.0.0.119";
  testing_support::Handler handler = [this](const std::string& request, int) {
    return FileReply(request, body);
  };
  bool denied = false;
  if (!server.Start(address, 80, handler, &denied)) {
    if (denied) GTEST_SKIP() << "binding port 80 is not permitted here (run as root)";
    FAIL() << "cannot listen on " << address << ":80";
  }
  server.Stop();

  DownloadTask task(faults::kSegments);
  AddItem(task, address);
  std::atomic<bool> back{false};
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    back.store(server.Start(address, 80, handler));
  });
  const auto start = faults::Clock::now();
  Outcome outcome = RunTask(task, kSuccessDeadlineMs);
  later.join();
  ASSERT_TRUE(back.load()) << "the server did not come back on " << address;
  ExpectExactFile(outcome, task, body);
  EXPECT_GE(faults::MillisecondsSince(start), 1500);
}

// --- Drops at many points -------------------------------------------------------------------

enum class Cut {
  NothingSent,         // the connection closes before a byte of the answer
  InsideSizeHeader,    // the size answer's header is cut in half
  InsideHeader,        // segment answers' headers are cut in half
  BeforeBody,          // segment answers end with their header
  AfterFirstByte,      // one body byte, then the close
  Middle,              // half of the segment's range
  OneShortOfRangeEnd,  // everything but the segment's last byte
  LastByteOfFile,      // every answer misses the file's last byte
};

struct DropCase {
  const char* name;
  Cut cut;
};

class DropTest : public ScriptedFaults, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropTest, EveryDropIsRecoveredToTheExactFile) {
  const Cut cut = GetParam().cut;
  ASSERT_NO_FATAL_FAILURE(Serve([this, cut](Reply& reply, int n, uint32_t requested) {
    // The size answer is cut in one case only; the first eight segment answers in the others.
    const bool sizeAnswer = n == 0;
    if ((cut == Cut::InsideSizeHeader) != sizeAnswer || n > 8) return;
    const size_t first = PositionOf(reply, requested);
    const uint32_t need = SegmentEnd(requested, kBodySize) - requested;
    switch (cut) {
      case Cut::NothingSent: reply.closeAfter = 0; break;
      case Cut::InsideSizeHeader:
      case Cut::InsideHeader: reply.closeAfter = HeaderLength(reply) / 2; break;
      case Cut::BeforeBody: reply.closeAfter = first; break;
      case Cut::AfterFirstByte: reply.closeAfter = first + 1; break;
      case Cut::Middle: reply.closeAfter = first + need / 2; break;
      case Cut::OneShortOfRangeEnd: reply.closeAfter = first + need - 1; break;
      case Cut::LastByteOfFile: reply.closeAfter = reply.bytes.size() - 1; break;
    }
  }));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
  EXPECT_GT(requestCount_.load(), faults::kSegments + 1) << "no answer was cut";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DropTest,
    ::testing::Values(DropCase{"NothingSent", Cut::NothingSent},
                      DropCase{"InsideSizeHeader", Cut::InsideSizeHeader},
                      DropCase{"InsideHeader", Cut::InsideHeader},
                      DropCase{"BeforeBody", Cut::BeforeBody},
                      DropCase{"AfterFirstByte", Cut::AfterFirstByte},
                      DropCase{"Middle", Cut::Middle},
                      DropCase{"OneShortOfRangeEnd", Cut::OneShortOfRangeEnd},
                      DropCase{"LastByteOfFile", Cut::LastByteOfFile}),
    [](const ::testing::TestParamInfo<DropCase>& info) { return std::string(info.param.name); });

TEST_F(ScriptedFaults, DropsAtManyPointsOfEachRange) {
  // Answer n (1 to 30) stops n/31 of the way through what its segment still needs.
  ASSERT_NO_FATAL_FAILURE(Serve([this](Reply& reply, int n, uint32_t requested) {
    if (n == 0 || n > 30) return;
    const uint32_t need = SegmentEnd(requested, kBodySize) - requested;
    reply.closeAfter = PositionOf(reply, requested) +
                       static_cast<size_t>(need) * static_cast<size_t>(n) / 31;
  }));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
}

TEST_F(ScriptedFaults, RangeIgnoredAndAnswersCutShort) {
  FileOptions options;
  options.honourRange = false;
  ASSERT_NO_FATAL_FAILURE(Serve([this](Reply& reply, int n, uint32_t requested) {
    if (n == 0 || n > 8) return;
    const uint32_t need = SegmentEnd(requested, kBodySize) - requested;
    reply.closeAfter = PositionOf(reply, requested) + need / 3;
  }, options));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
}

TEST_F(ScriptedFaults, RangeIgnored) {
  FileOptions options;
  options.honourRange = false;
  ASSERT_NO_FATAL_FAILURE(Serve(nullptr, options));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
}

// --- Silence --------------------------------------------------------------------------------

TEST_F(ScriptedFaults, SilenceLongerThanFiveSecondsInTheBody) {
  ASSERT_NO_FATAL_FAILURE(Serve([this](Reply& reply, int n, uint32_t requested) {
    if (n < 1 || n > 2) return;
    const uint32_t need = SegmentEnd(requested, kBodySize) - requested;
    reply.pauseAfter = PositionOf(reply, requested) + need / 2;
    reply.pauseMs = 6000;
  }));
  DownloadTask task(faults::kSegments);
  const auto start = faults::Clock::now();
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
  // The silent segments were given up after the receive time-out, not waited out.
  EXPECT_GE(faults::MillisecondsSince(start), 4500);
  EXPECT_LT(faults::MillisecondsSince(start), 15000);
}

TEST_F(ScriptedFaults, SilenceLongerThanFiveSecondsBeforeTheSizeAnswer) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& reply, int n, uint32_t) {
    if (n != 0) return;
    reply.pauseAfter = 0;
    reply.pauseMs = 6000;
  }));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
}

// --- Error answers and redirects --------------------------------------------------------------

TEST_F(ScriptedFaults, ServerErrorOnOneSegmentOnce) {
  // Shared with the server, which may answer until TearDown stops it.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  ASSERT_NO_FATAL_FAILURE(Serve([answered](Reply& reply, int n, uint32_t requested) {
    // The third segment's first request.
    if (n == 0 || requested != 2 * (kBodySize / faults::kSegments) || answered->exchange(true))
      return;
    reply.bytes = kServiceUnavailable;
  }));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
  EXPECT_TRUE(answered->load());
}

TEST_F(ScriptedFaults, ServerErrorOnOneSegmentAlways) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& reply, int n, uint32_t requested) {
    if (n > 0 && requested >= 2 * (kBodySize / faults::kSegments) &&
        requested < 3 * (kBodySize / faults::kSegments))
      reply.bytes = kServiceUnavailable;
  }));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

TEST_F(ScriptedFaults, RedirectIsNotFollowed) {
  ASSERT_NO_FATAL_FAILURE(Serve([this](Reply& reply, int, uint32_t) {
    reply.bytes = "HTTP/1.1 302 Found\r\nLocation: http://" + server.Address() +
                  "/other/file.bin\r\nContent-Length: 0\r\n\r\n";
  }));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

TEST_F(ScriptedFaults, RedirectOnTheSegmentsOnly) {
  ASSERT_NO_FATAL_FAILURE(Serve([this](Reply& reply, int n, uint32_t) {
    if (n == 0) return;
    reply.bytes = "HTTP/1.1 302 Found\r\nLocation: http://" + server.Address() +
                  "/other/file.bin\r\nContent-Length: 0\r\n\r\n";
  }));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

// --- What the header says -------------------------------------------------------------------

TEST_F(ScriptedFaults, NoLength) {
  FileOptions options;
  options.sendLength = false;
  ASSERT_NO_FATAL_FAILURE(Serve(nullptr, options));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

struct LengthCase {
  const char* name;
  std::string lengthText;
};

class BadLengthTest : public ScriptedFaults, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(BadLengthTest, IsACleanFailure) {
  FileOptions options;
  options.lengthText = GetParam().lengthText;
  ASSERT_NO_FATAL_FAILURE(Serve(nullptr, options));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadLengthTest,
    ::testing::Values(LengthCase{"LargerThanTheBody", std::to_string(kBodySize + 1000)},
                      LengthCase{"Negative", "-1"}, LengthCase{"NotANumber", "many"},
                      LengthCase{"TwoGiB", "2147483648"},
                      LengthCase{"Overflowing", "18446744073709551917"}),
    [](const ::testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.name); });

// The reply with a filler field that makes its header exactly `length` bytes long.
void PadHeaderTo(Reply& reply, size_t length) {
  const size_t header = HeaderLength(reply);
  const std::string field = "X-Filler: \r\n";
  ASSERT_GE(length, header + field.size());
  const size_t statusEnd = reply.bytes.find("\r\n") + 2;
  reply.bytes.insert(statusEnd, "X-Filler: " + std::string(length - header - field.size(), 'f') +
                                    "\r\n");
}

TEST_F(ScriptedFaults, HeaderOfExactly1024BytesIsReadWhole) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& reply, int, uint32_t) { PadHeaderTo(reply, 1024); }));
  DownloadTask task(faults::kSegments);
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
}

TEST_F(ScriptedFaults, HeaderOver1024Bytes) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& reply, int, uint32_t) { PadHeaderTo(reply, 1025); }));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

TEST_F(ScriptedFaults, HeaderOver1024BytesOnTheSegmentsOnly) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& reply, int n, uint32_t) {
    if (n > 0) PadHeaderTo(reply, 1500);
  }));
  DownloadTask task(faults::kSegments);
  ExpectCleanFailure(Download(task, kFailureDeadlineMs), task);
}

// --- Files in the way of the target ---------------------------------------------------------

TEST_F(ScriptedFaults, ReadOnlyFileWithTheTargetsNameIsLeftAlone) {
  ASSERT_NO_FATAL_FAILURE(Serve(nullptr));
  const std::string target = temp + fileName;
  ASSERT_TRUE(testing_support::WriteFile(target, "an older file"));
  ASSERT_TRUE(platform::SetReadOnly(target, true));
  DownloadTask task(faults::kSegments);
  Outcome outcome = Download(task, kSuccessDeadlineMs);
  ASSERT_EQ(outcome, Outcome::Finished);
  EXPECT_EQ(task.ItemAt(0)->localPath, target + "_tmp");
  EXPECT_EQ(testing_support::ReadFile(target), "an older file");
  ExpectExactFile(outcome, task, body, {target});
}

TEST_F(ScriptedFaults, FolderWithTheTargetsNameIsLeftAlone) {
  ASSERT_NO_FATAL_FAILURE(Serve(nullptr));
  const std::string target = temp + fileName;
  ASSERT_TRUE(std::filesystem::create_directory(target));
  DownloadTask task(faults::kSegments);
  Outcome outcome = Download(task, kSuccessDeadlineMs);
  ASSERT_EQ(outcome, Outcome::Finished);
  EXPECT_EQ(task.ItemAt(0)->localPath, target + "_tmp");
  EXPECT_TRUE(platform::IsDirectory(target));
  ExpectExactFile(outcome, task, body, {target});
}

// A task that calls back just before its whole download file gets its name.
class HookedTask : public DownloadTask {
 public:
  explicit HookedTask(std::function<void(const DownloadItem&)> hook)
      : DownloadTask(faults::kSegments), hook_(std::move(hook)) {}
  ~HookedTask() override { Stop(); }

 protected:
  void BeforeCommit(const DownloadItem& item) override { hook_(item); }

 private:
  std::function<void(const DownloadItem&)> hook_;
};

TEST_F(ScriptedFaults, ReadOnlyFileWithTheTargetsNameAppearingBeforeTheRename) {
  ASSERT_NO_FATAL_FAILURE(Serve(nullptr));
  std::atomic<int> merges{0};
  HookedTask task([&merges](const DownloadItem& item) {
    if (merges.fetch_add(1) > 0) return;
    testing_support::WriteFile(item.localPath, "another program's file");
    platform::SetReadOnly(item.localPath, true);
  });
  ExpectExactFile(Download(task, kSuccessDeadlineMs), task, body);
  EXPECT_EQ(task.ItemAt(0)->localPath, temp + fileName);
}

// --- A new file on the server ---------------------------------------------------------------

TEST_F(ScriptedFaults, FileReplacedOnTheServerDuringTheDownload) {
  // The size answer is for the old file; every later answer serves a new, longer file. Pieces
  // of both must not be joined into one file reported as downloaded.
  const std::string replacement = MakeBody(kBodySize + 4000, 12);
  auto requests = std::make_shared<std::atomic<int>>(0);
  testing_support::Handler handler = [this, replacement, requests](const std::string& request,
                                                                    int) {
    return FileReply(request, requests->fetch_add(1) == 0 ? body : replacement);
  };
  FAULTS_START_ON_PORT_80(server, handler);
  DownloadTask task(faults::kSegments);
  const Outcome outcome = Download(task, kFailureDeadlineMs);
  if (outcome == Outcome::Finished) {
    const std::string file = testing_support::ReadFile(task.ItemAt(0)->localPath);
    EXPECT_TRUE(file == body || file == replacement)
        << "a file of " << file.size() << " bytes that is neither the old nor the new one";
  } else {
    ExpectCleanFailure(outcome, task);
  }
}

// --- Pause and resume ------------------------------------------------------------------------

TEST_F(ScriptedFaults, PauseAndResumeToggledHundredsOfTimes) {
  // 1 KiB every 10 ms or so on each connection while the toggles come: a pause never waits
  // long for a receive, and the file lasts for all of them. Then the server goes full speed.
  const std::string big = MakeBody(6 * 1024 * 1024 + 5, 9);
  auto paced = std::make_shared<std::atomic<bool>>(true);
  testing_support::Handler handler = [big, paced](const std::string& request, int) {
    // A thousand answers: each carries what its segment can still use, not the rest of the
    // file, and while paced no more than some 2 s of sending (a pause comes long before).
    const long range = RangeStartOf(request);
    const uint32_t start = range > 0 ? static_cast<uint32_t>(range) : 0;
    const bool slow = paced->load();
    const uint32_t end = std::min(SegmentEnd(start, static_cast<uint32_t>(big.size())),
                                  slow ? start + 256 * 1024 : UINT32_MAX);
    Reply reply;
    reply.bytes = std::string(start > 0 ? "HTTP/1.1 206 Partial Content" : "HTTP/1.1 200 OK") +
                  "\r\nContent-Length: " + std::to_string(big.size() - start) + "\r\n";
    if (start > 0) {
      reply.bytes += "Content-Range: bytes " + std::to_string(start) + "-" +
                     std::to_string(big.size() - 1) + "/" + std::to_string(big.size()) + "\r\n";
    }
    reply.bytes += "\r\n" + big.substr(start, end - start);
    reply.delayPerKiBMs = slow ? 1 : 0;
    return reply;
  };
  FAULTS_START_ON_PORT_80(server, handler);
  DownloadTask task(faults::kSegments);
  AddItem(task, server.Address());
  task.Start();
  std::mt19937 random(3);
  std::uniform_int_distribution<int> gapUs(0, 6000);
  int toggles = 0;
  const auto start = faults::Clock::now();
  for (; toggles < 300 && !task.IsFinished(); ++toggles) {
    task.Pause();
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
    task.Resume();
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
  }
  std::printf("%d toggles in %ld ms\n", toggles, faults::MillisecondsSince(start));
  EXPECT_EQ(toggles, 300) << "the download ended before the toggling did";
  task.Pause();
  paced->store(false);
  task.Resume();
  ExpectExactFile(faults::FollowTask(task, 60000), task, big);
}

// --- Stop during the merge ------------------------------------------------------------------

TEST_F(ScriptedFaults, StopDuringTheMerge) {
  const std::string big = MakeBody(3 * 1024 * 1024 + 3, 5);
  testing_support::Handler handler = [big](const std::string& request, int) {
    return FileReply(request, big);
  };
  FAULTS_START_ON_PORT_80(server, handler);
  // Stops that come as the merge begins and at points while it runs.
  for (int delayUs : {0, 200, 1000, 3000, 10000}) {
    SCOPED_TRACE("stop " + std::to_string(delayUs) + " us into the merge");
    std::atomic<bool> merging{false};
    HookedTask task([&merging](const DownloadItem&) { merging.store(true); });
    AddItem(task, server.Address());
    task.Start();
    const auto limit = faults::Clock::now() + std::chrono::seconds(30);
    while (!merging.load() && faults::Clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_TRUE(merging.load()) << "the download never reached its merge";
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    const auto stopAt = faults::Clock::now();
    task.Stop();
    EXPECT_LT(faults::MillisecondsSince(stopAt), 10000);
    task.DeletePartFiles();

    // The stop may come too late to keep the file from being written, but never leaves half
    // of it, and never any part.
    const std::string path = task.ItemAt(0)->localPath;
    if (platform::PathExists(path)) {
      EXPECT_EQ(testing_support::Sha256Hex(testing_support::ReadFile(path)),
                testing_support::Sha256Hex(big));
    }
    EXPECT_EQ(Leftovers({path}), std::vector<std::string>());
    EXPECT_FALSE(task.IsRunning());
    RemoveLeftovers();
  }
}

}  // namespace

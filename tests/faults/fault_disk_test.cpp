// The fault matrix on a full disk: the temporary folder is a 2 MiB tmpfs (small_tmp.sh mounts
// it and points TMPDIR there). The file does not fit, or fits once but not twice, or another
// file fills the disk mid-download; through the task and through vantreo-fetch.
#include <sys/statvfs.h>

#include <cstdlib>

#include "download/socket_layer.h"
#include "tests/download/download_fixture.h"
#include "tests/faults/fault_fixture.h"
#include "tests/faults/fetch_runner.h"

using download_test::WaitUntil;
using faults::FaultTest;
using faults::Outcome;
using faults::RunTask;
using testing_support::FileReply;
using testing_support::MakeBody;
using testing_support::Reply;

namespace {

SocketLayer socketLayer;

// What the sizes below assume is free: the 2 MiB disk, less what a sanitizer's run-time may
// keep there (ThreadSanitizer keeps 512 KiB in the temporary folder).
constexpr uint64_t kLeastFreeBytes = 1536 * 1024;

uint64_t FreeBytes(const std::string& folder) {
  struct statvfs info;
  if (statvfs(folder.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

class DiskFullFaults : public FaultTest {
 protected:
  void SetUp() override {
    const char* size = std::getenv("VANTREO_SMALL_TMP");
    if (size == nullptr) GTEST_SKIP() << "runs through small_tmp.sh, which mounts the small disk";
    FaultTest::SetUp();
    freeAtStart = FreeBytes(temp);
    ASSERT_GE(freeAtStart, kLeastFreeBytes) << "the temporary folder is not the small disk";
    ASSERT_LE(freeAtStart, 2u * 1024 * 1024) << "the temporary folder is not the small disk";
  }
  void TearDown() override {
    FaultTest::TearDown();
    if (!ballast.empty()) std::remove(ballast.c_str());
  }

  void Serve(const std::string& body, int delayPerKiBMs = 0) {
    testing_support::Handler handler = [body, delayPerKiBMs](const std::string& request, int) {
      Reply reply = FileReply(request, body);
      reply.delayPerKiBMs = delayPerKiBMs;
      return reply;
    };
    FAULTS_START_ON_PORT_80(server, handler);
  }
  // Fills the disk, as far as it goes, with a file of another program.
  void FillDisk() {
    ballast = temp + "ballast";
    std::FILE* file = std::fopen(ballast.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string block(64 * 1024, 'b');
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size() &&
           std::fflush(file) == 0) {
    }
    std::fclose(file);
  }

  std::string ballast;
  uint64_t freeAtStart = 0;
};

// A file larger than the room left stops before the first byte with the disk message and
// its sizes; one that fits where two copies would not is downloaded (one copy, in place).
TEST_F(DiskFullFaults, TheFileFitsOrNothingIsFetched) {
  struct Case {
    const char* what;
    size_t size;
    bool fits;
  };
  const Case cases[] = {
      {"larger than the disk: stopped before the first byte", 3 * 1024 * 1024, false},
      {"room for one copy, not for two: downloaded", 1200 * 1024, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string body = MakeBody(c.size, 31);
    server.Stop();
    ASSERT_NO_FATAL_FAILURE(Serve(body));
    DownloadTask task(faults::kSegments);
    ASSERT_NO_FATAL_FAILURE(AddItem(task, server.Address()));
    const Outcome outcome = RunTask(task, 20000);
    if (c.fits) {
      ExpectExactFile(outcome, task, body);
      std::remove(task.ItemAt(0)->localPath.c_str());
      continue;
    }
    EXPECT_EQ(outcome, Outcome::Failed);
    EXPECT_EQ(task.LastError().kind, DownloadErrorKind::DiskFull) << task.LastError().reason;
    EXPECT_EQ(task.LastError().bytesNeeded, c.size);
    EXPECT_LT(task.LastError().bytesAvailable, c.size);
    EXPECT_EQ(server.Requests().size(), 1u) << "only the size request";
    ExpectCleanFailure(Outcome::Failed, task);
    EXPECT_EQ(FreeBytes(temp), freeAtStart);
  }
}

// Another file fills the disk while the download runs: every segment stops at once with the
// disk message, no retry, what was written stays; started again ("继续") once space is free,
// it fetches only what the sidecar does not record.
TEST_F(DiskFullFaults, FilledMidDownloadStopsAndContinuesAfterSpaceIsFreed) {
  const std::string body = MakeBody(1200 * 1024, 33);
  // About 1 MiB/s per connection: the download is under way when the disk fills.
  ASSERT_NO_FATAL_FAILURE(Serve(body, 1));
  DownloadTask task(faults::kSegments);
  ASSERT_NO_FATAL_FAILURE(AddItem(task, server.Address()));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.GetProgress().bytesDone.load() >= 300 * 1024; }, 10000));
  ASSERT_NO_FATAL_FAILURE(FillDisk());
  const auto filled = faults::Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 10000));
  EXPECT_LT(faults::MillisecondsSince(filled), 1500) << "stopped promptly";
  EXPECT_TRUE(task.HasFailed());
  EXPECT_EQ(task.LastError().kind, DownloadErrorKind::DiskFull) << task.LastError().reason;
  // The user is told the sizes: the rest of the file, and the room left (none, or crumbs).
  EXPECT_GT(task.LastError().bytesNeeded, 0u);
  EXPECT_LE(task.LastError().bytesNeeded, body.size() - 300 * 1024);
  EXPECT_LT(task.LastError().bytesAvailable, 64u * 1024);
  const size_t requests = server.Requests().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(server.Requests().size(), requests) << "no retry on a full disk";
  std::remove(ballast.c_str());
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 20000));
  ASSERT_TRUE(task.IsFinished()) << DownloadErrorKindName(task.LastError().kind) << ": "
                                 << task.LastError().reason;
  EXPECT_TRUE(testing_support::ReadFile(task.ItemAt(0)->localPath) == body);
  // The second run goes on inside each range it had begun: after its size request, no request
  // starts at byte 0 or at a range's first byte.
  const uint64_t share = body.size() / faults::kSegments;
  const std::vector<std::string> sent = server.Requests();
  ASSERT_GT(sent.size(), requests + 1);
  for (size_t i = requests + 1; i < sent.size(); ++i) {
    const long from = testing_support::RangeStartOf(sent[i]);
    EXPECT_GT(from, 0) << sent[i];
    EXPECT_NE(static_cast<uint64_t>(from) % share, 0u) << sent[i];
  }
}

TEST_F(DiskFullFaults, FetchToolReportsTheFailure) {
  const std::string tool = faults::FetchTool();
  ASSERT_FALSE(tool.empty()) << "VANTREO_FETCH names the tool under test";
  const std::string body = MakeBody(3 * 1024 * 1024, 34);
  ASSERT_NO_FATAL_FAILURE(Serve(body));
  const auto start = faults::Clock::now();
  faults::ChildResult result =
      faults::RunChild({tool, "--deadline", "20", Url(server.Address())}, {}, 30000);
  ASSERT_TRUE(result.started);
  EXPECT_FALSE(result.killed);
  EXPECT_LT(faults::MillisecondsSince(start), 5000) << "at once, not at the deadline";
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(faults::SavedPath(result.out), "") << result.out;
  EXPECT_NE(result.err.find(u8"磁盘空间不足，请清理磁盘后重试（需要 3.0 MB，可用 "), std::string::npos)
      << result.err;
  EXPECT_EQ(Leftovers(), std::vector<std::string>());
  EXPECT_EQ(FreeBytes(temp), freeAtStart);
}

}  // namespace

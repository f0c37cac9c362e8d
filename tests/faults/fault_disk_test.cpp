// The fault matrix on a full disk: the temporary folder is a 2 MiB tmpfs (small_tmp.sh mounts
// it and points TMPDIR there). The parts do not fit, or the parts fit and the file does not,
// or the disk is full for a while; through the task and through vantreo-fetch.
#include <sys/statvfs.h>

#include <cstdlib>

#include "download/socket_layer.h"
#include "tests/faults/fault_fixture.h"
#include "tests/faults/fetch_runner.h"

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
  // Fills the disk until `left` bytes are free.
  void FillDiskBut(uint64_t left) {
    ballast = temp + "ballast";
    ASSERT_TRUE(testing_support::WriteFile(ballast, std::string(FreeBytes(temp) - left, 'b')));
  }

  std::string ballast;
  uint64_t freeAtStart = 0;
};

TEST_F(DiskFullFaults, PartsDoNotFit) {
  const std::string body = MakeBody(3 * 1024 * 1024, 31);
  ASSERT_NO_FATAL_FAILURE(Serve(body));
  DownloadTask task(faults::kSegments);
  ASSERT_NO_FATAL_FAILURE(AddItem(task, server.Address()));
  ExpectCleanFailure(RunTask(task, 3000), task);
  EXPECT_EQ(FreeBytes(temp), freeAtStart);
}

TEST_F(DiskFullFaults, PartsFitButTheFileDoesNot) {
  const std::string body = MakeBody(1200 * 1024, 32);
  ASSERT_NO_FATAL_FAILURE(Serve(body));
  DownloadTask task(faults::kSegments);
  ASSERT_NO_FATAL_FAILURE(AddItem(task, server.Address()));
  // Every "_tmp" name fails as the first did: quick retries, so that the task gives up soon.
  task.SetRetryDelays(RetryDelays{10, 40});
  EXPECT_EQ(RunTask(task, 20000), Outcome::Failed) << "the task did not give up";
  ExpectCleanFailure(Outcome::Failed, task);
  EXPECT_EQ(FreeBytes(temp), freeAtStart);
}

TEST_F(DiskFullFaults, FullForAWhile) {
  const std::string body = MakeBody(600 * 1024, 33);
  // Slowly, so that the download is still under way when the space comes back.
  ASSERT_NO_FATAL_FAILURE(Serve(body, 1));
  ASSERT_NO_FATAL_FAILURE(FillDiskBut(100 * 1024));
  DownloadTask task(faults::kSegments);
  ASSERT_NO_FATAL_FAILURE(AddItem(task, server.Address()));
  std::thread freeing([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::remove(ballast.c_str());
  });
  Outcome outcome = RunTask(task, 30000);
  freeing.join();
  ExpectExactFile(outcome, task, body);
}

TEST_F(DiskFullFaults, FetchToolReportsTheFailure) {
  const std::string tool = faults::FetchTool();
  ASSERT_FALSE(tool.empty()) << "VANTREO_FETCH names the tool under test";
  const std::string body = MakeBody(3 * 1024 * 1024, 34);
  ASSERT_NO_FATAL_FAILURE(Serve(body));
  faults::ChildResult result =
      faults::RunChild({tool, "--deadline", "4", Url(server.Address())}, {}, 30000);
  ASSERT_TRUE(result.started);
  EXPECT_FALSE(result.killed);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(faults::SavedPath(result.out), "") << result.out;
  EXPECT_NE(result.err.find("vantreo-fetch: gave up after 4 s"), std::string::npos) << result.err;
  EXPECT_EQ(Leftovers(), std::vector<std::string>());
  EXPECT_EQ(FreeBytes(temp), freeAtStart);
}

}  // namespace

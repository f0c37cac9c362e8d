// The download task against a scripted server on port 80 of a loopback address: the list
// rules, recovery from failed segments and short parts, files that cannot be written, failed
// starts and launches (each retried after a pause), and pause and resume meeting recovery.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "download/socket_layer.h"
#include "platform/codepage.h"
#include "tests/support/sha256.h"
#include "tests/tasks/task_fixture.h"

using task_test::Clock;
using task_test::MillisecondsSince;
using task_test::StateRecorder;
using task_test::TaskTest;
using task_test::WaitUntil;
using testing_support::FileOptions;
using testing_support::FileReply;
using testing_support::MakeBody;
using testing_support::RangeStartOf;
using testing_support::ReadFile;
using testing_support::Reply;
using testing_support::Sha256Hex;

namespace {

SocketLayer socketLayer;

constexpr uint32_t kExpectedSize = 14000000;
const RetryDelays kQuickRetries{50, 200};

size_t HeaderLength(const Reply& reply) { return reply.bytes.find("\r\n\r\n") + 4; }

class DownloadTaskTest : public TaskTest {
 protected:
  std::string Url(const std::string& fileName) const {
    return "http://" + server.Address() + "/files/" + fileName;
  }
  // Requests that asked for `fileName` (segments with nothing to fetch send nothing).
  std::vector<std::string> RequestsFor(const std::string& fileName) const {
    std::vector<std::string> found;
    for (const std::string& request : server.Requests()) {
      if (request.find("/files/" + fileName + " ") != std::string::npos) found.push_back(request);
    }
    return found;
  }
  // Serves `body` for any file, `delayPerKiBMs` per KiB.
  void ServeSlowly(const std::string& body, int delayPerKiBMs) {
    ASSERT_NO_FATAL_FAILURE(Serve([body, delayPerKiBMs](const std::string& request, int) {
      Reply reply = FileReply(request, body);
      reply.delayPerKiBMs = delayPerKiBMs;
      return reply;
    }));
  }
  void Serve(testing_support::Handler handler) { START_ON_PORT_80(server, handler); }
};

// --- The list -------------------------------------------------------------------------------

TEST(DownloadTaskList, SameUrlInAnotherLetterCaseIsRefused) {
  DownloadTask task(4);
  EXPECT_TRUE(task.AddItem("http://Host/Download/VantreoSetup.exe", "", kExpectedSize, 1,
                           "/VERYSILENT /SILENT"));
  EXPECT_FALSE(task.AddItem("HTTP://HOST/DOWNLOAD/vantreosetup.EXE", "", 5, 0, ""));
  EXPECT_FALSE(task.AddItem("http://Host/Download/VantreoSetup.exe", "other", 5, 0, ""));
  ASSERT_EQ(task.ItemCount(), 1u);
  EXPECT_EQ(task.ItemAt(0)->url, "http://Host/Download/VantreoSetup.exe");
  EXPECT_EQ(task.ItemAt(0)->size.load(), kExpectedSize);
  EXPECT_EQ(task.ItemAt(0)->arguments, "/VERYSILENT /SILENT");
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Pending);
  // The URL's form is not examined.
  EXPECT_TRUE(task.AddItem("not a url", "", 0, 0, ""));
  EXPECT_EQ(task.ItemCount(), 2u);
}

TEST(DownloadTaskList, UrlsInAnyScriptCompareByTheirLetters) {
  // UTF-8 names: the bytes of "한" and "中" are never folded as if they were letters.
  DownloadTask task(4);
  EXPECT_TRUE(task.AddItem("http://h/한게임.exe", "", 1, 0, ""));
  EXPECT_TRUE(task.AddItem("http://h/中文.exe", "", 1, 0, ""));
  EXPECT_FALSE(task.AddItem("HTTP://H/한게임.EXE", "", 1, 0, ""));
  EXPECT_TRUE(task.AddItem("http://h/Zoë.exe", "", 1, 0, ""));
#ifdef _WIN32
  // Windows folds every letter, as its file system does.
  EXPECT_FALSE(task.AddItem("http://h/ZOË.exe", "", 1, 0, ""));
#endif
}

TEST(DownloadTaskList, CommandLineQuotesThePathAndIsNeverCut) {
  std::string line;
  ASSERT_TRUE(BuildCommandLine("C:\\Users\\Jo Ann\\Temp\\VantreoSetup.exe", "/VERYSILENT /SILENT",
                               line));
  EXPECT_EQ(line, "\"C:\\Users\\Jo Ann\\Temp\\VantreoSetup.exe\" /VERYSILENT /SILENT ");
  ASSERT_TRUE(BuildCommandLine("C:\\T\\a.exe", "", line));
  EXPECT_EQ(line, "\"C:\\T\\a.exe\"");

  // 259 characters fit the 260-byte buffer; 260 do not, and the line is left alone.
  const std::string path(259 - 6, 'p');  // two quotes, blank, "/A", blank
  ASSERT_TRUE(BuildCommandLine(path, "/A", line));
  EXPECT_EQ(line.size(), 259u);
  line = "untouched";
  EXPECT_FALSE(BuildCommandLine(path + "p", "/A", line));
  EXPECT_EQ(line, "untouched");
  EXPECT_FALSE(BuildCommandLine(std::string(300, 'p'), "", line));
}

TEST(DownloadTaskList, StartOnAnEmptyListEndsAtOnce) {
  DownloadTask task(4);
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 2000));
  EXPECT_FALSE(task.IsFinished());  // nothing was downloaded
  EXPECT_FALSE(task.HasFailed());
  EXPECT_EQ(task.GetProgress().itemCount.load(), 0u);
  EXPECT_EQ(task.GetProgress().bytesTotal.load(), 0u);
  EXPECT_EQ(task.GetProgress().currentItem.load(), nullptr);
  task.Stop();
  task.Pause();
  task.Resume();
}

// --- Segments ------------------------------------------------------------------------------

TEST_F(DownloadTaskTest, SegmentCountsOutsideOneToTwentyBecomeOne) {
  const std::string body = MakeBody(40000, 3);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 0));
  const std::map<int, size_t> expected = {{25, 1}, {0, 1}, {-1, 1}, {1, 1}, {20, 20}};
  for (const auto& [count, segments] : expected) {
    const std::string fileName = name + "_n" + std::to_string(count + 10) + ".bin";
    DownloadTask task(count);
    ASSERT_TRUE(task.AddItem(Url(fileName), "", 0, 0, ""));
    task.Start();
    ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000)) << count;
    EXPECT_EQ(ReadFile(task.ItemAt(0)->localPath), body) << count;
    // One request to learn the size, then one per segment.
    EXPECT_EQ(RequestsFor(fileName).size(), segments + 1) << count;
    task.DeletePartFiles();
  }
}

TEST_F(DownloadTaskTest, SizesPastFourGibibytesAreCountedWhole) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  FileOptions noLength;
  noLength.sendLength = false;  // the expected sizes stay: nothing is fetched
  const std::string body = MakeBody(5000, 4);
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    return FileReply(request, body, noLength);
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(name + "-a.exe"), "", 5 * kGiB, 0, ""));
  ASSERT_TRUE(task.AddItem(Url(name + "-b.exe"), "", 3 * kGiB, 1, ""));
  task.Start();
  EXPECT_EQ(task.GetProgress().bytesTotal.load(), 8 * kGiB);
  EXPECT_EQ(task.ItemAt(0)->size.load(), 5 * kGiB);
  task.Stop();
}

TEST_F(DownloadTaskTest, NoAnnouncedSizeIsRetriedAfterGrowingPausesAndKeepsTheExpectedSize) {
  const std::string fileName = name + ".exe";
  FileOptions noLength;
  noLength.sendLength = false;
  const std::string body = MakeBody(5000, 4);
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    return FileReply(request, body, noLength);
  }));
  DownloadTask task(4);  // the usual waits: 1 s, then 2 s
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 1, "/VERYSILENT /SILENT"));
  task.Start();
  EXPECT_EQ(task.GetProgress().bytesTotal.load(), kExpectedSize);
  std::this_thread::sleep_for(std::chrono::milliseconds(2400));
  // Attempts at 0 s and 1 s; the third would come at 3 s. A loop without pause would have
  // sent thousands.
  const size_t attempts = RequestsFor(fileName).size();
  EXPECT_GE(attempts, 2u);
  EXPECT_LE(attempts, 3u);
  const TaskProgress& progress = task.GetProgress();
  EXPECT_EQ(progress.bytesTotal.load(), kExpectedSize);
  EXPECT_EQ(progress.currentSize.load(), kExpectedSize);
  EXPECT_EQ(task.ItemAt(0)->size.load(), kExpectedSize);
  EXPECT_EQ(progress.currentItem.load(), nullptr);
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Pending);
  EXPECT_TRUE(task.IsRunning());

  Clock::time_point before = Clock::now();
  task.Stop();
  EXPECT_LT(MillisecondsSince(before), 150) << "Stop must cut the pause short";
  EXPECT_FALSE(task.IsRunning());
  EXPECT_FALSE(task.IsFinished());
  EXPECT_FALSE(task.HasFailed());
}

TEST_F(DownloadTaskTest, StopCutsShortASizeAnswerThatTrickles) {
  const std::string fileName = name + ".exe";
  const std::string body = MakeBody(5000, 6);
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    Reply reply = FileReply(request, body);
    reply.pauseAfter = 10;  // inside the status line, and for less than the receive time-out
    reply.pauseMs = 4000;
    return reply;
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return !RequestsFor(fileName).empty(); }, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Clock::time_point before = Clock::now();
  task.Stop();
  EXPECT_LT(MillisecondsSince(before), 400) << "Stop waited for the size answer";
  EXPECT_FALSE(task.IsRunning());
}

TEST_F(DownloadTaskTest, SegmentFailingMidWayIsRestartedAndStaysDownloading) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(400000, 5);
  const uint32_t share = 100000;
  std::atomic<int> drops{0};
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    Reply reply = FileReply(request, body);
    reply.delayPerKiBMs = 2;
    // The third segment's first connection breaks after 5000 body bytes.
    if (RangeStartOf(request) == 2 * share && drops.fetch_add(1) == 0)
      reply.closeAfter = HeaderLength(reply) + 5000;
    return reply;
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  StateRecorder recorder(*task.ItemAt(0), task.GetProgress());
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  recorder.Finish();

  EXPECT_EQ(recorder.States(), "Pending Downloading Done");
  EXPECT_FALSE(recorder.BytesEverAboveTotal());
  EXPECT_EQ(Sha256Hex(ReadFile(task.ItemAt(0)->localPath)), Sha256Hex(body));
  // The segment went on from the 5000 bytes it held.
  int resumed = 0;
  for (const std::string& request : RequestsFor(fileName))
    resumed += RangeStartOf(request) == 2 * share + 5000;
  EXPECT_EQ(resumed, 1);
  const TaskProgress& progress = task.GetProgress();
  EXPECT_EQ(progress.bytesDone.load(), body.size());
  EXPECT_EQ(progress.bytesTotal.load(), body.size());
  EXPECT_EQ(progress.itemsDone.load(), 1u);
}

// Cuts the download file to half its length (or deletes it, as a scanner's quarantine would)
// before each rename, `times` times.
class LosingTask : public DownloadTask {
 public:
  LosingTask(int times, bool cut) : DownloadTask(4), times_(times), cut_(cut) {}
  ~LosingTask() override { Stop(); }
  std::atomic<int> commits{0};

 protected:
  void BeforeCommit(const DownloadItem& item) override {
    if (commits.fetch_add(1) >= times_) return;
    const std::string file = DownloadPath(item.localPath);
    std::error_code error;
    if (!cut_) std::filesystem::remove(file, error);
    else std::filesystem::resize_file(file, std::filesystem::file_size(file, error) / 2, error);
  }

 private:
  const int times_;
  const bool cut_;
};

// A whole download file that is short or gone when it is to get its name is downloaded once
// more; a second time the item ends with a local error, never in a loop, never as the network.
TEST_F(DownloadTaskTest, ALostDownloadFileIsFetchedOnceMoreThenTheItemEnds) {
#ifdef _WIN32
  GTEST_SKIP() << "nobody may change or delete the download file while it is open there";
#endif
  const struct {
    int times;
    bool cut;
    DownloadErrorKind kind;  // None: the second download succeeds
  } cases[] = {{1, true, DownloadErrorKind::None}, {1, false, DownloadErrorKind::None},
               {100, true, DownloadErrorKind::LocalFile},
               {100, false, DownloadErrorKind::Quarantined}};
  const std::string body = MakeBody(300000, 6);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 0));
  for (const auto& c : cases) {
    const std::string fileName = name + std::to_string(c.times) + (c.cut ? "c.bin" : "g.bin");
    SCOPED_TRACE(fileName);
    LosingTask task(c.times, c.cut);
    task.SetRetryDelays(kQuickRetries);
    ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
    task.Start();
    ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 30000));
    const bool succeeds = c.kind == DownloadErrorKind::None;
    EXPECT_EQ(task.commits.load(), 2);
    EXPECT_EQ(task.IsFinished(), succeeds);
    EXPECT_EQ(task.HasFailed(), !succeeds);
    if (succeeds) {
      EXPECT_EQ(Sha256Hex(ReadFile(task.ItemAt(0)->localPath)), Sha256Hex(body));
    } else {
      EXPECT_EQ(task.LastError().kind, c.kind) << task.LastError().reason;
    }
  }
}

TEST_F(DownloadTaskTest, FinishedDownloadIsWrittenWithoutWaitingOutAWholePoll) {
  const std::string fileName = name + ".bin";
  // About 250 ms per segment: the worker sees the bytes coming before they are all in.
  const std::string body = MakeBody(1000000, 20);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 1));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  task.Start();
  // All bytes are in once the download file holds the body (or the task, faster than this
  // look, has given it its name).
  ASSERT_TRUE(WaitUntil([&] {
    return ReadFile(DownloadFileOf(fileName)) == body || task.IsFinished();
  }, 20000));
  Clock::time_point allIn = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000));
  // A look every 200 ms would leave the file waiting most of that; these come while the rate
  // says the end is near.
  const long waitedMs = MillisecondsSince(allIn);
  std::cout << "written " << waitedMs << " ms after the last byte\n";
  EXPECT_LT(waitedMs, 100);
  EXPECT_EQ(ReadFile(task.ItemAt(0)->localPath), body);
}

// --- Writing the file ----------------------------------------------------------------------

// Where the file cannot be made or get its name (a folder has the target's name, or the
// target's folder is missing), it is downloaded once more, then the item ends with a local
// error, never the network message.
TEST_F(DownloadTaskTest, ATargetThatCannotBeWrittenEndsTheItemWithALocalError) {
  const std::string body = MakeBody(20000, 8);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 0));
  for (const bool folderAtTarget : {true, false}) {
    const std::string fileName = name + (folderAtTarget ? "_f" : "_m") + ".bin";
    SCOPED_TRACE(fileName);
    const std::string target = temp + name + (folderAtTarget ? "_t.bin" : "_missing/setup.exe");
    if (folderAtTarget) {
      ASSERT_TRUE(std::filesystem::create_directory(target));
    }
    DownloadTask task(4);
    task.SetRetryDelays({2, 10});
    ASSERT_TRUE(task.AddItem(Url(fileName), target, kExpectedSize, 1, "/VERYSILENT /SILENT"));
    const Clock::time_point start = Clock::now();
    task.Start();
    ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 20000));
    EXPECT_LT(MillisecondsSince(start), 5000);
    EXPECT_TRUE(task.HasFailed());
    EXPECT_EQ(task.LastError().kind, DownloadErrorKind::LocalFile) << task.LastError().reason;
    EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Failed);
    EXPECT_EQ(task.ItemAt(0)->localPath, target) << "no \"_tmp\" names";
    size_t ranged = 0;  // 3 per download: segments 1 to 3
    for (const std::string& request : RequestsFor(fileName)) ranged += RangeStartOf(request) > 0;
    EXPECT_EQ(ranged, 3u * 2);
    EXPECT_EQ(task.GetProgress().itemsDone.load(), 0u);
    EXPECT_TRUE(task.DeletePartFiles());
    EXPECT_FALSE(DownloadLeft(fileName));
  }
}

// --- Several items -------------------------------------------------------------------------

TEST_F(DownloadTaskTest, LaterItemWhoseStartFailsIsRetriedAndNeverDoneFromTheFirstItem) {
  const std::string first = name + "_a.bin";
  const std::string second = name + "_b.bin";
  const std::string bodyA = MakeBody(60000, 9);
  const std::string bodyB = MakeBody(90000, 10);
  std::atomic<int> sizeRequestsB{0};
  std::atomic<bool> serveB{false};
  FileOptions noLength;
  noLength.sendLength = false;
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    if (request.find(second) == std::string::npos) return FileReply(request, bodyA);
    if (RangeStartOf(request) < 0 && !serveB.load()) {
      sizeRequestsB.fetch_add(1);
      return FileReply(request, bodyB, noLength);
    }
    return FileReply(request, bodyB);
  }));
  DownloadTask task(4);
  task.SetRetryDelays(kQuickRetries);
  ASSERT_TRUE(task.AddItem(Url(first), "", 1000, 0, ""));
  ASSERT_TRUE(task.AddItem(Url(second), "", 2000, 0, ""));
  StateRecorder recorder(*task.ItemAt(1), task.GetProgress());
  task.Start();
  EXPECT_EQ(task.GetProgress().bytesTotal.load(), 3000u);
  ASSERT_TRUE(WaitUntil([&] { return sizeRequestsB.load() >= 3; }, 10000));

  // The first item's finished segments are not the second item's download.
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Done);
  EXPECT_EQ(task.ItemAt(1)->state.load(), ItemState::Pending);
  EXPECT_EQ(task.GetProgress().itemsDone.load(), 1u);
  EXPECT_EQ(task.GetProgress().bytesDone.load(), bodyA.size());
  EXPECT_EQ(task.GetProgress().bytesTotal.load(), bodyA.size() + 2000);
  EXPECT_FALSE(task.IsFinished());

  serveB.store(true);
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000));
  recorder.Finish();
  EXPECT_EQ(recorder.States(), "Pending Downloading Done");
  EXPECT_EQ(ReadFile(task.ItemAt(1)->localPath), bodyB);
  EXPECT_EQ(task.GetProgress().itemsDone.load(), 2u);
  EXPECT_EQ(task.GetProgress().bytesDone.load(), bodyA.size() + bodyB.size());
  EXPECT_EQ(task.GetProgress().bytesTotal.load(), bodyA.size() + bodyB.size());
  EXPECT_EQ(task.GetProgress().currentItem.load(), task.ItemAt(1));
}

TEST_F(DownloadTaskTest, AFileNamedInAnyScriptIsAskedForInUtf8AndKeptUnderItsName) {
  // The request line carries the URL's own UTF-8 bytes, encoded by no one on the way.
  const std::string fileName = name + "_한게임Zoë中文.bin";
  const std::string body = MakeBody(40000, 23);
  ASSERT_NO_FATAL_FAILURE(
      Serve([&](const std::string& request, int) { return FileReply(request, body); }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", 0, 0, ""));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000));
  ASSERT_FALSE(RequestsFor(fileName).empty());
  for (const std::string& request : server.Requests()) {
    if (request.empty()) continue;
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET " + Url(fileName) + " HTTP/1.1");
  }
  const std::string path = task.ItemAt(0)->localPath;
  EXPECT_EQ(path, platform::DownloadFolder() + fileName);
  EXPECT_EQ(ReadFile(path), body);
  platform::RemoveFile(path);
}

TEST_F(DownloadTaskTest, SecondItemOfTheSameFileNameKeepsTheFirstItemsFile) {
  // Two folders on the server, one file name, two contents; the second download must neither
  // delete the first file nor be written over it.
  const std::string fileName = name + "_same.bin";
  const std::string bodyA = MakeBody(30000, 21);
  const std::string bodyB = MakeBody(50000, 22);
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    return FileReply(request, request.find("/other/") != std::string::npos ? bodyB : bodyA);
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", 0, 0, ""));
  ASSERT_TRUE(task.AddItem("http://" + server.Address() + "/other/" + fileName, "", 0, 0, ""));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000));
  const std::string first = task.ItemAt(0)->localPath;
  const std::string second = task.ItemAt(1)->localPath;
  EXPECT_NE(first, second);
  EXPECT_EQ(second, first + "_tmp");
  EXPECT_EQ(ReadFile(first), bodyA);
  EXPECT_EQ(ReadFile(second), bodyB);
  platform::RemoveFile(second);
}

TEST_F(DownloadTaskTest, StartAgainWhileRunningResetsProgressAndSkipsDoneItems) {
  const std::string first = name + "_a.bin";
  const std::string second = name + "_b.bin";
  const std::string bodyA = MakeBody(30000, 11);
  const std::string bodyB = MakeBody(600000, 12);
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    if (request.find(first) != std::string::npos) return FileReply(request, bodyA);
    Reply reply = FileReply(request, bodyB);
    reply.delayPerKiBMs = 2;
    return reply;
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(first), "", 1, 0, ""));
  ASSERT_TRUE(task.AddItem(Url(second), "", 1, 0, ""));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] {
    return task.ItemAt(1)->state.load() == ItemState::Downloading &&
           task.GetProgress().bytesDone.load() > bodyA.size() + 50000;
  }, 20000));
  EXPECT_FALSE(task.AddItem(Url(name + "_c.bin"), "", 1, 0, "")) << "the list is not changed "
                                                                    "while the worker runs";
  const size_t requestsForA = RequestsFor(first).size();

  task.Start();
  const TaskProgress& progress = task.GetProgress();
  EXPECT_EQ(progress.itemsDone.load(), 0u);
  EXPECT_EQ(progress.completedBytes.load(), 0u);
  EXPECT_LT(progress.bytesDone.load(), 50000u);
  EXPECT_EQ(progress.itemCount.load(), 2u);
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  EXPECT_EQ(RequestsFor(first).size(), requestsForA);
  EXPECT_EQ(ReadFile(task.ItemAt(1)->localPath), bodyB);
  EXPECT_EQ(progress.itemsDone.load(), 1u);
  EXPECT_EQ(progress.bytesDone.load(), bodyB.size());
}

// --- Pause and resume ----------------------------------------------------------------------

TEST_F(DownloadTaskTest, PauseAndResumeMeetRecoveryFromFailingSegments) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(300000, 13);
  std::atomic<int> requestsSeen{0};
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    Reply reply = FileReply(request, body);
    reply.delayPerKiBMs = 1;
    // Every other ranged connection breaks after 3000 body bytes.
    if (RangeStartOf(request) > 0 && requestsSeen.fetch_add(1) % 2 == 0)
      reply.closeAfter = HeaderLength(reply) + 3000;
    return reply;
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  StateRecorder recorder(*task.ItemAt(0), task.GetProgress());
  task.Start();
  // The window thread pauses and resumes while the worker restarts failed segments.
  std::thread clicker([&] {
    for (int i = 0; i < 80 && task.IsRunning(); ++i) {
      task.Pause();
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + i % 13));
      task.Resume();
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + i % 17));
    }
  });
  clicker.join();
  task.Resume();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 60000));
  recorder.Finish();
  EXPECT_EQ(recorder.States(), "Pending Downloading Done");
  EXPECT_FALSE(recorder.BytesEverAboveTotal());
  EXPECT_EQ(Sha256Hex(ReadFile(task.ItemAt(0)->localPath)), Sha256Hex(body));
}

TEST_F(DownloadTaskTest, PauseWhileTheDownloadStartsHoldsOnceItHasStarted) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(400000, 21);
  std::atomic<bool> sizeAsked{false};
  ASSERT_NO_FATAL_FAILURE(Serve([&](const std::string& request, int) {
    Reply reply = FileReply(request, body);
    reply.delayPerKiBMs = 1;
    // The size request is answered late: the pause comes while the download is starting.
    if (RangeStartOf(request) < 0 && !sizeAsked.exchange(true)) {
      reply.pauseAfter = 0;
      reply.pauseMs = 400;
    }
    return reply;
  }));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  const DownloadItem& item = *task.ItemAt(0);
  task.Start();
  ASSERT_TRUE(server.WaitForRequests(1, 10000));
  task.Pause();
  ASSERT_TRUE(WaitUntil([&] { return item.state.load() == ItemState::Downloading; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const uint32_t held = task.GetProgress().bytesDone.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(task.GetProgress().bytesDone.load(), held);
  EXPECT_LT(held, body.size() / 2);
  EXPECT_FALSE(task.IsFinished());

  task.Resume();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000));
  EXPECT_EQ(Sha256Hex(ReadFile(item.localPath)), Sha256Hex(body));
}

TEST_F(DownloadTaskTest, PauseAndResumeAfterTheDownloadDoNothing) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(50000, 14);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 0));
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 20000));
  const size_t requests = server.Requests().size();
  task.Pause();
  EXPECT_TRUE(task.IsFinished());
  task.Resume();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(task.IsFinished());
  EXPECT_EQ(server.Requests().size(), requests);
}

// --- Launching -----------------------------------------------------------------------------

TEST_F(DownloadTaskTest, AFileThatIsNoProgramIsRefusedAtOnceAndDeleted) {
  // Random bytes, as a block page or a damaged file would be: no program of any platform.
  const std::string fileName = name + ".exe";
  const std::string body = MakeBody(30000, 15);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 0));
  DownloadTask task(4);
  task.SetRetryDelays({100, 400});
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 1, "/VERYSILENT /SILENT"));
  StateRecorder recorder(*task.ItemAt(0), task.GetProgress());
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 20000)) << "no launch retries";
  recorder.Finish();

  const std::string states = recorder.States();
  EXPECT_EQ(states.rfind("Pending Downloading ", 0), 0u) << states;
  EXPECT_EQ(states.find("Busy Done"), std::string::npos) << states;
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Failed);
  EXPECT_TRUE(task.HasFailed());
  EXPECT_FALSE(task.IsFinished());
  EXPECT_EQ(task.GetRefusal(), platform::ProgramCheck::NotAProgram);
  EXPECT_EQ(recorder.MaxItemsDone(), 1u);
  EXPECT_EQ(recorder.MaxBytesDone(), body.size());
  EXPECT_FALSE(platform::PathExists(task.ItemAt(0)->localPath));
  EXPECT_EQ(RequestsFor(fileName).size(), 5u) << "fetched once, never again";
}

// Bytes that pass the format check of this platform (and no other): a script natively, a PE
// header on Windows.
std::string ProgramBytes(size_t size, int seed) {
  std::string bytes = MakeBody(size, seed);
#ifdef _WIN32
  const unsigned char header[] = {'M', 'Z'};
  bytes.replace(0, 2, reinterpret_cast<const char*>(header), 2);
  bytes.replace(0x3c, 4, std::string("\x80\0\0\0", 4));
  bytes.replace(0x80, 6, std::string("PE\0\0\x64\x86", 6));
  return bytes;
#else
  return "#!/bin/sh\n" + bytes;
#endif
}

TEST_F(DownloadTaskTest, CommandLineTooLongFailsTheLaunchInsteadOfCuttingIt) {
  const std::string fileName = name + ".exe";
  const std::string body = ProgramBytes(20000, 16);
  ASSERT_NO_FATAL_FAILURE(ServeSlowly(body, 0));
  DownloadTask task(4);
  platform::ProgramPolicy formatOnly;
  formatOnly.verifySignature = false;
  task.SetProgramPolicy(formatOnly);
  task.SetRetryDelays({100, 400});
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 1,
                           "/VERYSILENT /SILENT /DIR=" + std::string(250, 'x')));
  StateRecorder recorder(*task.ItemAt(0), task.GetProgress());
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return recorder.Saw(ItemState::Failed); }, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  task.Stop();
  recorder.Finish();
  EXPECT_FALSE(recorder.States().find("Busy Done") != std::string::npos) << recorder.States();
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Failed);
  EXPECT_FALSE(task.IsFinished());
}

// A file of two sources (paths /a/ and /b/ of one server) refused at its check; in the pass
// that fetches it whole from each source in turn, a source that is down (503 after the first
// download) is left after three tries that bring nothing. The item ends refused when a source's
// whole copy was refused, and as a network failure when no source answered.
TEST_F(DownloadTaskTest, TheWholeFilePassLeavesADeadSourceAndEndsByWhatItMet) {
  struct Case {
    const char* what;
    bool firstStaysUp;
    platform::ProgramCheck refusal;
    size_t requestsToA;
  };
  const Case cases[] = {
      {"both down after the first download", false, platform::ProgramCheck::Ok, 2 + 3},
      {"the first refused again, the second down", true, platform::ProgramCheck::HashMismatch,
       2 + 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    const std::string fileName = name + ".exe";
    const std::string body = ProgramBytes(20000, 17);
    // Shared with the server, which may still answer when a failed check ends the test early.
    auto answered = std::make_shared<std::atomic<int>>(0);
    const bool firstStaysUp = c.firstStaysUp;
    ASSERT_NO_FATAL_FAILURE(Serve([answered, body, firstStaysUp](const std::string& request, int) {
      // Two size requests and the one range of the download assembled from both.
      const bool fromA = request.find("/a/") != std::string::npos;
      if (++*answered <= 3 || (fromA && firstStaysUp)) return FileReply(request, body);
      return Reply{"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n"};
    }));
    DownloadTask task(1);
    platform::ProgramPolicy pinned;
    pinned.verifySignature = false;
    pinned.sha256Hex = std::string(64, '0');
    task.SetProgramPolicy(pinned);
    task.SetRetryDelays({10, 40});
    const std::string base = "http://" + server.Address();
    ASSERT_TRUE(task.AddItem(base + "/a/" + fileName + ";" + base + "/b/" + fileName, "",
                             kExpectedSize, 1, ""));
    task.Start();
    ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 20000));
    EXPECT_TRUE(task.HasFailed());
    EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Failed);
    EXPECT_EQ(task.GetRefusal(), c.refusal);
    if (c.refusal == platform::ProgramCheck::Ok) {
      EXPECT_EQ(task.LastError().status, 503) << task.LastError().reason;
    }
    size_t toA = 0;
    size_t toB = 0;
    for (const std::string& request : server.Requests()) {
      toA += request.find("/a/") != std::string::npos;
      toB += request.find("/b/") != std::string::npos;
    }
    EXPECT_EQ(toA, c.requestsToA);
    EXPECT_EQ(toB, 1u + kMaxSourceFailures) << "its size, then three tries";
    server.Stop();
  }
}

}  // namespace

// --- A later run --------------------------------------------------------------------------

// The wizard closed at about a third (a pause, then the task goes); the next run's task
// continues the parts: its bar starts at the kept share and only the rest is fetched.
TEST_F(DownloadTaskTest, ATaskClosedMidDownloadIsContinuedByTheNextRun) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(400 * 1024, 41);
  std::atomic<bool> slow{true};
  START_ON_PORT_80_IN(server, ([&](const std::string& request, int) {
    FileOptions options;
    options.fields = "ETag: \"41\"\r\n";
    Reply reply = FileReply(request, body, options);
    if (slow.load()) reply.delayPerKiBMs = 10;
    return reply;
  }), 205, 209);
  uint32_t kept = 0;
  {
    DownloadTask task(4);
    ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
    task.Start();
    ASSERT_TRUE(WaitUntil([&] { return task.GetProgress().bytesDone.load() > body.size() / 3; },
                          10000));
    task.Pause();
    kept = task.GetProgress().bytesDone.load();
  }
  EXPECT_TRUE(platform::PathExists(temp + fileName + ".vantreo"));
  const size_t firstRun = RequestsFor(fileName).size();
  slow.store(false);

  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(Url(fileName), "", kExpectedSize, 0, ""));
  StateRecorder recorder(*task.ItemAt(0), task.GetProgress());
  task.Start();
  // The first share the bar shows is the kept one, not a count from 0.
  ASSERT_TRUE(WaitUntil([&] { return task.GetProgress().bytesDone.load() > 0; }, 10000));
  EXPECT_GE(task.GetProgress().bytesDone.load(), kept);
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 10000));
  recorder.Finish();
  EXPECT_FALSE(recorder.BytesEverFell());
  EXPECT_EQ(Sha256Hex(ReadFile(task.ItemAt(0)->localPath)), Sha256Hex(body));
  EXPECT_FALSE(platform::PathExists(temp + fileName + ".vantreo"));
  const std::vector<std::string> requests = RequestsFor(fileName);
  for (size_t i = firstRun + 1; i < requests.size(); ++i)
    EXPECT_NE(requests[i].find("\r\nIf-Range: \"41\"\r\n"), std::string::npos) << requests[i];
}

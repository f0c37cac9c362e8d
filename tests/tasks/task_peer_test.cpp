// The whole install without a window, against a real nginx on port 80 of a loopback address
// (started by ctest with nginx.sh): the fake setup program is downloaded, started with
// "/VERYSILENT /SILENT" and waited for; pause, resume and stop meet a real server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "download/socket_layer.h"
#include "platform/process.h"
#include "platform/program_check.h"
#include "tests/support/sha256.h"
#include "tests/tasks/task_fixture.h"

using task_test::Clock;
using task_test::MillisecondsSince;
using task_test::SetEnvironment;
using task_test::StateRecorder;
using task_test::TaskTest;
using task_test::WaitUntil;
using testing_support::MakeBody;
using testing_support::ReadFile;
using testing_support::Sha256Hex;
using testing_support::WriteFile;

namespace {

SocketLayer socketLayer;

constexpr uint32_t kExpectedSize = 14000000;
const char kSetupArguments[] = "/VERYSILENT /SILENT";

std::string FirstLine(const std::string& text) {
  size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

// One line of the access log: the path, the status, the Range field ("-" when none) and the
// body bytes sent.
struct LogLine {
  std::string uri;
  int status = 0;
  std::string range;
  long bytesSent = 0;
};

// The states of a run that downloads and starts a program: the Done between the file's write
// and the program's start lasts no time and may not be seen.
bool IsDownloadAndRun(const std::string& states) {
  return states == "Pending Downloading Done Busy Done" ||
         states == "Pending Downloading Busy Done";
}

class TaskPeerTest : public TaskTest {
 protected:
  void SetUp() override {
    TaskTest::SetUp();
    const char* dir = std::getenv("VANTREO_TASK_NGINX_DIR");
    ASSERT_NE(dir, nullptr) << "VANTREO_TASK_NGINX_DIR is not set: run this test through ctest";
    base = dir;
    const char* program = std::getenv("VANTREO_FAKE_SETUP");
    ASSERT_NE(program, nullptr) << "VANTREO_FAKE_SETUP is not set: run this test through ctest";
    fakeSetup = ReadFile(program);
    ASSERT_FALSE(fakeSetup.empty()) << "no fake setup program at " << program;
    if (platform::PathExists(base + "/not-started"))
      GTEST_SKIP() << FirstLine(ReadFile(base + "/not-started"));
    address = FirstLine(ReadFile(base + "/address"));
    ASSERT_FALSE(address.empty()) << "nginx was not started";
    www = base + "/www/files/";
    cleanupFolders.push_back(www);
    record = temp + name + ".record";
    SetEnvironment("VANTREO_FAKE_SETUP_RECORD", record);
    SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "0");
    SetEnvironment("VANTREO_FAKE_SETUP_EXIT", "0");
  }

  // The fake setup program grown to about `size` bytes by lines that are never read (after
  // the exit of the script), so that it takes a moment. The signed Windows program was padded
  // before it was signed, and is served as it is.
  std::string SetupProgram(size_t size) const {
    std::string program = fakeSetup;
#ifdef _WIN32
    (void)size;
    return program;
#endif
    const std::string noise = MakeBody(size, 17);
    std::string padding;
    for (size_t i = 0; program.size() + padding.size() < size; ++i) {
      if (i % 100 == 0) {
        padding += "\n#";
      } else {
        padding += static_cast<char>('a' + static_cast<unsigned char>(noise[i % size]) % 26);
      }
    }
    return program + padding + "\n";
  }

  // Puts a file where nginx serves it; `slow` fetches it at 400 KB/s per connection.
  std::string Serve(const std::string& fileName, const std::string& bytes, bool slow) {
    EXPECT_TRUE(WriteFile(www + fileName, bytes));
    return "http://" + address + (slow ? "/slow/" : "/files/") + fileName;
  }

  std::vector<LogLine> LogFor(const std::string& fileName) const {
    std::vector<LogLine> lines;
    std::istringstream log(ReadFile(base + "/access.log"));
    std::string text;
    while (std::getline(log, text)) {
      std::istringstream fields(text);
      LogLine line;
      fields >> line.uri >> line.status >> line.range >> line.bytesSent;
      if (line.uri.size() < fileName.size() ||
          line.uri.compare(line.uri.size() - fileName.size(), fileName.size(), fileName) != 0)
        continue;
      if (line.range.size() >= 2) line.range = line.range.substr(1, line.range.size() - 2);
      lines.push_back(line);
    }
    return lines;
  }

  std::string ExpectedRecord(const std::string& programPath, const std::string& arguments) {
#ifdef _WIN32
    return "commandline=\"" + programPath + "\" " + arguments + " \nexited\n";
#else
    std::string text = "program=" + programPath + "\n";
    std::istringstream words(arguments);
    std::string word;
    while (words >> word) text += "argument=" + word + "\n";
    return text + "exited\n";
#endif
  }

  std::string base;
  std::string address;
  std::string www;
  std::string record;
  std::string fakeSetup;  // the program's bytes
};

TEST_F(TaskPeerTest, SetupProgramIsDownloadedStartedSilentlyAndWaitedFor) {
  const std::string fileName = name + ".exe";
  const std::string program = SetupProgram(2000000);
  const std::string url = Serve(fileName, program, true);
  SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "0.6");
  // A failing setup program still ends the task; its code is kept for the caller to judge.
  SetEnvironment("VANTREO_FAKE_SETUP_EXIT", "3");
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 1, kSetupArguments));
  const DownloadItem& item = *task.ItemAt(0);
  const TaskProgress& progress = task.GetProgress();
  StateRecorder recorder(item, progress);
  task.Start();
  // The expected size until the server has announced the real one.
  const uint32_t totalAtStart = progress.bytesTotal.load();
  EXPECT_TRUE(totalAtStart == kExpectedSize || totalAtStart == program.size()) << totalAtStart;
  EXPECT_EQ(progress.itemCount.load(), 1u);

  ASSERT_TRUE(WaitUntil([&] { return item.state.load() == ItemState::Busy; }, 30000));
  EXPECT_EQ(progress.currentItem.load(), &item);
  EXPECT_EQ(progress.bytesDone.load(), program.size());
  EXPECT_FALSE(task.IsFinished()) << "the program still runs";
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  recorder.Finish();

  EXPECT_TRUE(IsDownloadAndRun(recorder.States())) << recorder.States();
  EXPECT_FALSE(recorder.BytesEverAboveTotal());
  EXPECT_FALSE(recorder.BytesEverFell());
  EXPECT_EQ(item.size.load(), program.size());
  EXPECT_EQ(progress.bytesTotal.load(), program.size());
  EXPECT_EQ(progress.bytesDone.load(), program.size());
  EXPECT_EQ(progress.currentSize.load(), program.size());
  EXPECT_EQ(progress.itemsDone.load(), 1u);
  EXPECT_EQ(recorder.MaxItemsDone(), 1u);
  EXPECT_EQ(item.localPath, temp + fileName);
  EXPECT_EQ(Sha256Hex(ReadFile(item.localPath)), Sha256Hex(program));
  EXPECT_EQ(ReadFile(record), ExpectedRecord(item.localPath, kSetupArguments));
  EXPECT_EQ(task.GetProgramExitCode(), 3u);
  // Four segments, each from its own start; segment 0 without a range.
  std::vector<LogLine> log = LogFor(fileName);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].range, "-");
  task.DeletePartFiles();
}

TEST_F(TaskPeerTest, PauseThenResumeFetchesNoByteTwice) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(2400000, 18);
  const std::string url = Serve(fileName, body, true);
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 0, ""));
  const DownloadItem& item = *task.ItemAt(0);
  const TaskProgress& progress = task.GetProgress();
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return progress.bytesDone.load() >= body.size() / 3; }, 30000));

  task.Pause();
  EXPECT_EQ(item.state.load(), ItemState::Downloading) << "the wizard's button stays usable";
  // The sidecar records what each range holds once the pause has stopped the segments.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  PartTable saved;
  ASSERT_TRUE(ReadPartTable(temp + fileName, kMaxSegments, saved));
  ASSERT_EQ(saved.ranges.size(), 4u);
  const uint32_t pausedAt = progress.bytesDone.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(progress.bytesDone.load(), pausedAt) << "nothing arrives while paused";
  const std::string savedText = FormatPartTable(saved);
  ASSERT_TRUE(ReadPartTable(temp + fileName, kMaxSegments, saved));
  EXPECT_EQ(FormatPartTable(saved), savedText) << "nothing is written while paused";
  const size_t requestsBefore = LogFor(fileName).size();
  EXPECT_EQ(requestsBefore, 5u);

  task.Resume();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  EXPECT_EQ(Sha256Hex(ReadFile(item.localPath)), Sha256Hex(body));
  EXPECT_EQ(progress.bytesDone.load(), body.size());

  // Each unfinished range asked again from exactly the first byte the sidecar did not record; a
  // free connection may split a range after the resume, never taking bytes already kept.
  std::vector<std::string> resumed;
  std::vector<LogLine> log = LogFor(fileName);
  for (size_t i = requestsBefore; i < log.size(); ++i) {
    resumed.push_back(log[i].range);
    EXPECT_EQ(log[i].status, 206);
  }
  for (const PartRange& range : saved.ranges) {
    const std::string from = "bytes=" + std::to_string(range.start + range.done) + "-";
    if (range.done < range.end - range.start) {
      EXPECT_NE(std::find(resumed.begin(), resumed.end(), from), resumed.end()) << from;
    }
  }
  for (const std::string& range : resumed) {
    const uint64_t first = std::stoull(range.substr(6));
    bool unrecorded = false;
    for (const PartRange& kept : saved.ranges)
      unrecorded = unrecorded || (first >= kept.start + kept.done && first < kept.end);
    EXPECT_TRUE(unrecorded) << range << " asks again for bytes already kept";
  }
  task.DeletePartFiles();
}

TEST_F(TaskPeerTest, StopDuringTheDownloadEndsTheWorkerAndDeletesTheParts) {
  const std::string fileName = name + ".bin";
  const std::string body = MakeBody(2400000, 19);
  const std::string url = Serve(fileName, body, true);
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 1, kSetupArguments));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.GetProgress().bytesDone.load() >= 300000; }, 30000));
  ASSERT_TRUE(DownloadLeft(fileName));

  Clock::time_point before = Clock::now();
  task.Stop();
  const long stopMs = MillisecondsSince(before);
  EXPECT_LT(stopMs, 1000);
  std::cout << "Stop during the download took " << stopMs << " ms\n";
  EXPECT_FALSE(task.IsRunning());
  EXPECT_FALSE(DownloadLeft(fileName));
  EXPECT_FALSE(platform::PathExists(temp + fileName));
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Pending);
  EXPECT_FALSE(task.IsFinished());
  EXPECT_FALSE(task.HasFailed());
  // Nothing goes on after Stop.
  const uint32_t bytes = task.GetProgress().bytesDone.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(task.GetProgress().bytesDone.load(), bytes);
  EXPECT_FALSE(DownloadLeft(fileName));
}

TEST_F(TaskPeerTest, StopWhileTheProgramRunsEndsTheWaitAndTheProgramGoesOn) {
  const std::string fileName = name + ".exe";
  const std::string url = Serve(fileName, SetupProgram(100000), false);
  SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "2");
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 1, kSetupArguments));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return !ReadFile(record).empty(); }, 30000));
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Busy);

  Clock::time_point before = Clock::now();
  task.Stop();
  const long stopMs = MillisecondsSince(before);
  EXPECT_LT(stopMs, 150);
  std::cout << "Stop while the program ran took " << stopMs << " ms\n";
  EXPECT_FALSE(task.IsRunning());
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Failed);
  EXPECT_EQ(ReadFile(record).find("exited"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(record).find("exited") != std::string::npos; },
                        10000))
      << "the program was ended with the wait";
  // Windows keeps a running program's file: it can go once the program has ended.
  const std::string program = task.ItemAt(0)->localPath;
  EXPECT_TRUE(WaitUntil(
      [&] { return platform::RemoveFile(program) || !platform::PathExists(program); }, 5000));
}

TEST_F(TaskPeerTest, PathWithABlankStartsTheDownloadedProgramAndNoOther) {
  const std::string fileName = name + ".exe";
  const std::string url = Serve(fileName, SetupProgram(50000), false);
  const char separator = temp.back();
  // Unquoted, "<temp>/<name>_my dir/fake setup.exe" would start "<temp>/<name>_my" (.exe).
  const std::string folder = temp + name + "_my dir";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string decoy = temp + name + "_my";
  for (const std::string& path : {decoy, decoy + ".exe"}) {
    ASSERT_TRUE(WriteFile(path, fakeSetup));
    ASSERT_TRUE(platform::MakeRunnable(path));
  }
  const std::string target = folder + separator + "fake setup.exe";
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(url, target, kExpectedSize, 1, kSetupArguments));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  EXPECT_EQ(ReadFile(record), ExpectedRecord(target, kSetupArguments));
  task.DeletePartFiles();
}

TEST_F(TaskPeerTest, ProgramExitingWith259HasExited) {
  const std::string fileName = name + ".exe";
  const std::string url = Serve(fileName, SetupProgram(20000), false);
  SetEnvironment("VANTREO_FAKE_SETUP_EXIT", "259");
  DownloadTask task(4);
  ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 1, ""));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Done);
  // Without arguments the command line is the quoted path alone.
#ifdef _WIN32
  EXPECT_EQ(ReadFile(record), "commandline=\"" + task.ItemAt(0)->localPath + "\"\nexited\n");
#else
  EXPECT_EQ(ReadFile(record), "program=" + task.ItemAt(0)->localPath + "\nexited\n");
#endif
  task.DeletePartFiles();
}

// --- The check before the start -----------------------------------------------------------

#ifdef _WIN32
std::string Env(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? value : "";
}
#endif

// The policy that accepts the fake setup program as served: its publisher on Windows, its
// digest natively (programs of this platform carry no signature).
platform::ProgramPolicy PolicyFor(const std::string& program) {
  platform::ProgramPolicy policy;
#ifdef _WIN32
  policy.signers = {Env("VANTREO_TEST_SIGNER")};
  (void)program;
#else
  policy.sha256Hex = Sha256Hex(program);
#endif
  return policy;
}

// Changes one byte of the download file before its first rename, as another program of the
// user could once the download is whole.
class PartChangingTask : public DownloadTask {
 public:
  using DownloadTask::DownloadTask;
  ~PartChangingTask() override { Stop(); }
  int merges = 0;

 protected:
  void BeforeCommit(const DownloadItem& item) override {
    if (merges++ > 0) return;
    const std::string part = DownloadPath(item.localPath);
    std::string bytes = ReadFile(part);
    if (bytes.empty()) return;
    bytes[bytes.size() / 2] ^= 0x20;
    WriteFile(part, bytes);
  }
};

TEST_F(TaskPeerTest, AProgramChangedInItsDownloadFileIsRefusedFetchedAgainAndThenRun) {
#ifdef _WIN32
  GTEST_SKIP() << "nobody may change the download file while it is open there";
#endif
  const std::string fileName = name + ".exe";
  const std::string program = SetupProgram(400000);
  const std::string url = Serve(fileName, program, false);
  PartChangingTask task(4);
  task.SetProgramPolicy(PolicyFor(program));
  ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 1, kSetupArguments));
  task.Start();
  ASSERT_TRUE(WaitUntil([&] { return task.IsFinished(); }, 30000));
  EXPECT_EQ(task.merges, 2);
  EXPECT_EQ(LogFor(fileName).size(), 10u) << "two whole downloads";
#ifdef _WIN32
  EXPECT_EQ(task.GetRefusal(), platform::ProgramCheck::BadSignature);
#else
  EXPECT_EQ(task.GetRefusal(), platform::ProgramCheck::HashMismatch);
#endif
  EXPECT_EQ(Sha256Hex(ReadFile(task.ItemAt(0)->localPath)), Sha256Hex(program));
  EXPECT_EQ(ReadFile(record), ExpectedRecord(task.ItemAt(0)->localPath, kSetupArguments))
      << "started once, the good copy";
  task.DeletePartFiles();
}

// Each refused file is deleted and never started; a file that is no program fails at once,
// any other refusal is fetched once more and then ends the item.
TEST_F(TaskPeerTest, RefusedProgramsAreDeletedAndNeverStarted) {
  using platform::ProgramCheck;
  struct Case {
    const char* what;
    std::string bytes;
    platform::ProgramPolicy policy;
    ProgramCheck refusal;
    size_t downloads;
  };
  const std::string program = SetupProgram(100000);
  platform::ProgramPolicy otherDigest = PolicyFor(program);
  otherDigest.sha256Hex = Sha256Hex("another program");
  std::vector<Case> cases = {
      {"a captive portal's page", "<html><body>" + std::string(30000, 'x') + "</body></html>",
       PolicyFor(program), ProgramCheck::NotAProgram, 1},
      {"a pinned digest that differs", program, otherDigest, ProgramCheck::HashMismatch, 2},
  };
#ifdef _WIN32
  std::string changed = program;
  changed[changed.size() / 3] ^= 0x01;
  cases.push_back({"one byte changed after signing", changed, PolicyFor(program),
                   ProgramCheck::BadSignature, 2});
  cases.push_back({"unsigned", ReadFile(Env("VANTREO_FAKE_SETUP_UNSIGNED")), PolicyFor(program),
                   ProgramCheck::Unsigned, 2});
  cases.push_back({"signed by another publisher", ReadFile(Env("VANTREO_FAKE_SETUP_OTHER")),
                   PolicyFor(program), ProgramCheck::SignerNotPinned, 2});
#endif
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GT(c.bytes.size(), 1000u);
    const std::string fileName = name + "_" + std::to_string(index++) + ".exe";
    const std::string url = Serve(fileName, c.bytes, false);
    DownloadTask task(4);
    task.SetProgramPolicy(c.policy);
    ASSERT_TRUE(task.AddItem(url, "", kExpectedSize, 1, kSetupArguments));
    task.Start();
    ASSERT_TRUE(WaitUntil([&] { return !task.IsRunning(); }, 30000));
    EXPECT_TRUE(task.HasFailed());
    EXPECT_EQ(task.GetRefusal(), c.refusal);
    EXPECT_EQ(task.ItemAt(0)->state.load(), ItemState::Failed);
    // Each download: a size request and segment 0 without a range (splits add ranged ones).
    size_t whole = 0;
    for (const LogLine& line : LogFor(fileName)) whole += line.range.find("bytes=") != 0;
    EXPECT_EQ(whole, 2 * c.downloads);
    EXPECT_FALSE(platform::PathExists(task.ItemAt(0)->localPath)) << "deleted";
    EXPECT_FALSE(DownloadLeft(fileName)) << "nor any part of it left";
    EXPECT_EQ(ReadFile(record), "") << "never started";
  }
}

}  // namespace

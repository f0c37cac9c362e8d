// The fault matrix's common ground: the download task run to its end with a deadline, the
// verdict on what it left (the exact file, or a clean failure: never a wrong file reported as
// success), the loopback addresses these tests take, and where a reply can be cut.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/private_folder.h"
#include "tasks/download_task.h"
#include "tests/support/port80.h"
#include "tests/support/sha256.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace faults {

using Clock = std::chrono::steady_clock;
using testing_support::Reply;

// As the installer downloads.
constexpr int kSegments = 4;
// Short pauses between attempts, so that recoveries fit in a test's few seconds.
const RetryDelays kQuickRetries{50, 400};

inline long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// How a task run ended.
enum class Outcome { Finished, Failed, TimedOut };

inline const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Finished: return "finished";
    case Outcome::Failed: return "failed";
    case Outcome::TimedOut: return "timed out";
  }
  return "?";
}

// Watches a started task, as vantreo-fetch does, until it reports finished or failed, or its
// worker ends without either, or the deadline passes; then it is stopped and its part files
// deleted, as the front ends do.
inline Outcome FollowTask(DownloadTask& task, int deadlineMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
  Outcome outcome = Outcome::TimedOut;
  while (Clock::now() < deadline) {
    if (task.IsFinished()) {
      outcome = Outcome::Finished;
      break;
    }
    if (task.HasFailed() || !task.IsRunning()) {
      outcome = Outcome::Failed;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  task.Stop();
  task.DeletePartFiles();
  return outcome;
}

inline Outcome RunTask(DownloadTask& task, int deadlineMs) {
  task.Start();
  return FollowTask(task, deadlineMs);
}

// Where the segment that holds file byte `offset` ends (one past its last byte).
inline uint32_t SegmentEnd(uint32_t offset, uint32_t size) {
  const uint32_t share = size / kSegments;
  uint32_t index = share == 0 ? kSegments - 1 : offset / share;
  if (index >= static_cast<uint32_t>(kSegments - 1)) return size;
  return (index + 1) * share;
}

inline size_t HeaderLength(const Reply& reply) {
  size_t blank = reply.bytes.find("\r\n\r\n");
  return blank == std::string::npos ? reply.bytes.size() : blank + 4;
}

// The scripted servers of these tests take 127.0.0.100-115 (port 80); 116-117 are the nginx
// fixture's, 118 stays unused (a refused address), 119 is left to the test that brings its
// server up late. The randomised server takes 150-159, the answer shapes 160-169.
#define FAULTS_START_ON_PORT_80(server, handler) START_ON_PORT_80_IN(server, handler, 100, 115)

// One test's download: a file name of its own in the temporary folder, removed afterwards.
class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fileName = testing_support::UniqueName("vfault" + std::to_string(getpid())) + ".bin";
    temp = platform::DownloadFolder();  // where the task downloads
  }
  void TearDown() override {
    server.Stop();
    RemoveLeftovers();
  }

  std::string Url(const std::string& address) const {
    return "http://" + address + "/files/" + fileName;
  }
  // The task as the installer builds it, with one item to fetch into the temporary folder.
  void AddItem(DownloadTask& task, const std::string& address) {
    task.SetRetryDelays(kQuickRetries);
    ASSERT_TRUE(task.AddItem(Url(address), "", 0, 0, ""));
  }

  // Files in the temporary folder whose names start with this download's name, but for
  // those listed in `keep`.
  std::vector<std::string> Leftovers(const std::vector<std::string>& keep = {}) const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(temp, error)) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, fileName.size(), fileName) != 0) continue;
      if (std::find(keep.begin(), keep.end(), temp + name) != keep.end()) continue;
      found.push_back(name);
    }
    return found;
  }
  void RemoveLeftovers() {
    std::error_code error;
    for (const std::string& name : Leftovers()) {
      std::filesystem::permissions(temp + name, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
      std::filesystem::remove_all(temp + name, error);
    }
  }

  // The verdict when the download must succeed: finished, and the file it reports is the
  // server's to the byte; nothing else of the download is left but what the test put there.
  void ExpectExactFile(Outcome outcome, const DownloadTask& task, const std::string& body,
                       std::vector<std::string> keep = {}) {
    ASSERT_EQ(outcome, Outcome::Finished) << "the download " << OutcomeName(outcome);
    const std::string path = task.ItemAt(0)->localPath;
    ASSERT_TRUE(platform::PathExists(path)) << path;
    EXPECT_EQ(testing_support::Sha256Hex(testing_support::ReadFile(path)),
              testing_support::Sha256Hex(body))
        << "a wrong file reported as success: " << path;
    keep.push_back(path);
    EXPECT_EQ(Leftovers(keep), std::vector<std::string>()) << "files left beside " << path;
  }

  // The verdict when the download cannot succeed: it says so (it never reports finished),
  // and once stopped it leaves no file of the download behind.
  void ExpectCleanFailure(Outcome outcome, const DownloadTask& task) {
    EXPECT_NE(outcome, Outcome::Finished)
        << "reported success with " << task.ItemAt(0)->localPath;
    EXPECT_FALSE(task.IsFinished());
    EXPECT_NE(task.ItemAt(0)->state.load(), ItemState::Done);
    EXPECT_EQ(Leftovers(), std::vector<std::string>()) << "files left after the failure";
  }

  std::string fileName;
  std::string temp;
  testing_support::TestServer server;
};

}  // namespace faults

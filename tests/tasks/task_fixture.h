// Shared pieces of the download task tests: waiting with a limit, watching an item's states,
// a scripted server on port 80 of a loopback address, the nginx of the ctest fixture, and the
// fake setup program.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/private_folder.h"
#include "tasks/download_task.h"
#include "tests/support/port80.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace task_test {

using Clock = std::chrono::steady_clock;

// Polls every 5 ms until the condition holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

inline void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline const char* StateName(ItemState state) {
  switch (state) {
    case ItemState::Pending: return "Pending";
    case ItemState::Downloading: return "Downloading";
    case ItemState::Done: return "Done";
    case ItemState::Busy: return "Busy";
    case ItemState::Failed: return "Failed";
  }
  return "?";
}

// Notes every state an item goes through, looking every millisecond, and the largest progress
// values seen meanwhile.
class StateRecorder {
 public:
  StateRecorder(const DownloadItem& item, const TaskProgress& progress)
      : item_(item), progress_(progress) {
    Note(item_.state.load());
    thread_ = std::thread([this] { Run(); });
  }
  ~StateRecorder() { Finish(); }

  void Finish() {
    running_.store(false);
    if (thread_.joinable()) thread_.join();
  }
  // The states in order, each change once, joined by blanks.
  std::string States() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (ItemState state : states_) text += std::string(text.empty() ? "" : " ") + StateName(state);
    return text;
  }
  bool Saw(ItemState state) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ItemState seen : states_) {
      if (seen == state) return true;
    }
    return false;
  }
  uint32_t MaxBytesDone() const { return maxBytesDone_.load(); }
  uint32_t MaxItemsDone() const { return maxItemsDone_.load(); }
  bool BytesEverFell() const { return bytesFell_.load(); }
  bool BytesEverAboveTotal() const { return bytesAboveTotal_.load(); }

 private:
  void Run() {
    while (running_.load()) {
      Sample();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Sample();  // what the task left when the test stopped watching
  }
  void Sample() {
    Note(item_.state.load());
    uint32_t done = progress_.bytesDone.load();
    uint32_t total = progress_.bytesTotal.load();
    if (done < lastBytesDone_) bytesFell_.store(true);
    if (done > total) bytesAboveTotal_.store(true);
    lastBytesDone_ = done;
    if (done > maxBytesDone_.load()) maxBytesDone_.store(done);
    uint32_t items = progress_.itemsDone.load();
    if (items > maxItemsDone_.load()) maxItemsDone_.store(items);
  }
  void Note(ItemState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (states_.empty() || states_.back() != state) states_.push_back(state);
  }

  const DownloadItem& item_;
  const TaskProgress& progress_;
  std::atomic<bool> running_{true};
  uint32_t lastBytesDone_ = 0;  // the recorder's thread alone
  std::atomic<uint32_t> maxBytesDone_{0};
  std::atomic<uint32_t> maxItemsDone_{0};
  std::atomic<bool> bytesFell_{false};
  std::atomic<bool> bytesAboveTotal_{false};
  mutable std::mutex mutex_;
  std::vector<ItemState> states_;
  std::thread thread_;
};

// The task tests' scripted servers on port 80 take 127.0.0.45-59.
#define START_ON_PORT_80(server, handler) START_ON_PORT_80_IN(server, handler, 45, 59)

// Files of one test are named from a unique stem, in the temporary folder or wherever the test
// puts them, and go away afterwards.
class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name = testing_support::UniqueName("vtask");
    temp = platform::DownloadFolder();  // where the task downloads
  }

  void TearDown() override {
    server.Stop();
    for (const std::string& folder : cleanupFolders) RemoveNamed(folder);
    RemoveNamed(temp);
  }

  // Deletes everything in the folder whose name starts with this test's stem.
  void RemoveNamed(const std::string& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      if (entry.path().filename().string().compare(0, name.size(), name) != 0) continue;
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
      std::filesystem::remove_all(entry.path(), error);
    }
  }

  // The download file as the task names it: beside the temporary path of the URL's file.
  std::string DownloadFileOf(const std::string& fileName) const {
    return temp + fileName + ".download";
  }
  bool DownloadLeft(const std::string& fileName) const {
    return platform::PathExists(DownloadFileOf(fileName)) ||
           platform::PathExists(temp + fileName + ".vantreo");
  }

  std::string name;
  std::string temp;
  std::vector<std::string> cleanupFolders;
  testing_support::TestServer server;
};

}  // namespace task_test

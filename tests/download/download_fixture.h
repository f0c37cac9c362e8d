// Shared pieces of the downloader tests: a scratch place for part and target files, waiting
// with a limit, and a scripted server bound to port 80 for the tests that go through Start.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/files.h"
#include "tests/download/downloader_probe.h"
#include "tests/support/port80.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace download_test {

// Polls every 10 ms until the condition holds or the time is up.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// True once no segment thread is still running.
inline bool AllEnded(DownloaderProbe& downloader) {
  for (int i = 0; i < downloader.SegmentCount(); ++i) {
    if (downloader.Segment(i).state.load() == SegmentState::Running) return false;
  }
  return true;
}

// The requests that asked for something (empty segments connect and send nothing).
inline std::vector<std::string> SentRequests(const testing_support::TestServer& server) {
  std::vector<std::string> sent;
  for (const std::string& request : server.Requests()) {
    if (!request.empty()) sent.push_back(request);
  }
  return sent;
}

// The downloader tests' scripted servers on port 80 take 127.0.0.20-35.
#define START_ON_PORT_80(server, handler) START_ON_PORT_80_IN(server, handler, 20, 35)

// Files of one test live under a unique stem in the temporary folder and go away afterwards.
class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = testing_support::UniqueName("vdl");
    stem = platform::TempFolder() + name_;
  }

  void TearDown() override {
    downloader.Stop();
    server.Stop();
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(platform::TempFolder(), error)) {
      if (entry.path().filename().string().compare(0, name_.size(), name_) != 0) continue;
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, error);
      std::filesystem::remove_all(entry.path(), error);
    }
  }

  // Serves `body` like a real server, with the given options, on 127.0.0.1.
  bool ServeFile(const std::string& body,
                 const testing_support::FileOptions& options = testing_support::FileOptions()) {
    return server.Start("127.0.0.1", 0, [body, options](const std::string& request, int) {
      return testing_support::FileReply(request, body, options);
    });
  }

  bool SetupRanges(uint32_t totalSize, int count) {
    downloader.SetTotalSize(totalSize);
    return downloader.SetupDirect("127.0.0.1", server.Port(), "http://127.0.0.1/d/", "f.bin",
                                  stem, count);
  }

  bool WaitFinished(int timeoutMs = 20000) {
    return WaitUntil([this] { return downloader.IsFinished(); }, timeoutMs);
  }
  bool WaitEnded(int timeoutMs = 20000) {
    return WaitUntil([this] { return AllEnded(downloader); }, timeoutMs);
  }

  std::string PartName(int index) const { return stem + "_" + std::to_string(index); }

  std::string name_;
  std::string stem;
  // What scripted servers serve and count. Members, not locals of a test: the server may still
  // be answering when a test ends early, until TearDown stops it.
  std::string body;
  std::atomic<int> tries{0};
  std::atomic<int> moreTries{0};
  testing_support::TestServer server;
  DownloaderProbe downloader;
};

}  // namespace download_test

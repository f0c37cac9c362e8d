// The fault matrix against a real nginx (started by the ctest fixture, tests/support/nginx.sh):
// the whole file, pause and resume toggled while nginx throttles, and the answers a real server
// gives instead of the file (a redirect, a missing file).
#include <cstdlib>
#include <random>

#include "download/socket_layer.h"
#include "tests/faults/fault_fixture.h"

using faults::FaultTest;
using faults::Outcome;
using faults::RunTask;
using testing_support::MakeBody;

namespace {

SocketLayer socketLayer;

class NginxFaults : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    const char* dir = std::getenv("VANTREO_FAULTS_NGINX_DIR");
    ASSERT_NE(dir, nullptr) << "run through ctest: the fixture starts nginx";
    nginxDir = dir;
    if (platform::PathExists(nginxDir + "/not-started"))
      GTEST_SKIP() << testing_support::ReadFile(nginxDir + "/not-started");
    address = testing_support::ReadFile(nginxDir + "/address");
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r')) address.pop_back();
    ASSERT_FALSE(address.empty()) << "nginx did not start";
  }
  void TearDown() override {
    std::error_code error;
    if (!served.empty()) std::filesystem::remove(served, error);
    FaultTest::TearDown();
  }

  // Puts the file where nginx serves it under this test's file name.
  void Publish(const std::string& body) {
    served = nginxDir + "/www/files/" + fileName;
    ASSERT_TRUE(testing_support::WriteFile(served, body));
  }
  std::string UrlAt(const std::string& location) const {
    return "http://" + address + "/" + location + "/" + fileName;
  }

  std::string nginxDir;
  std::string address;
  std::string served;
};

TEST_F(NginxFaults, WholeFile) {
  const std::string body = MakeBody(2 * 1024 * 1024 + 1, 21);
  ASSERT_NO_FATAL_FAILURE(Publish(body));
  DownloadTask task(faults::kSegments);
  ASSERT_NO_FATAL_FAILURE(AddItem(task, address));
  ExpectExactFile(RunTask(task, 30000), task, body);
}

TEST_F(NginxFaults, PauseAndResumeToggledWhileNginxThrottles) {
  // A throttled nginx sends each new connection a second's worth at once and then waits: a
  // pause waits for that, so toggles are slow here (the scripted server's test makes hundreds).
  const std::string body = MakeBody(6 * 1024 * 1024 + 7, 22);
  ASSERT_NO_FATAL_FAILURE(Publish(body));
  DownloadTask task(faults::kSegments);
  task.SetRetryDelays(faults::kQuickRetries);
  ASSERT_TRUE(task.AddItem(UrlAt("slow"), "", 0, 0, ""));
  task.Start();
  std::mt19937 random(8);
  std::uniform_int_distribution<int> gapUs(0, 4000);
  int toggles = 0;
  for (; toggles < 50 && !task.IsFinished(); ++toggles) {
    task.Pause();
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
    task.Resume();
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
  }
  EXPECT_EQ(toggles, 50) << "the download ended before the toggling did";
  ExpectExactFile(faults::FollowTask(task, 60000), task, body);
}

TEST_F(NginxFaults, RedirectIsNotFollowed) {
  // A folder where the file should be: nginx answers 301 with its name and a slash.
  ASSERT_TRUE(std::filesystem::create_directory(nginxDir + "/www/files/" + fileName));
  served = nginxDir + "/www/files/" + fileName;
  DownloadTask task(faults::kSegments);
  task.SetRetryDelays(faults::kQuickRetries);
  ASSERT_TRUE(task.AddItem(UrlAt("files"), "", 0, 0, ""));
  ExpectCleanFailure(RunTask(task, 2000), task);
}

TEST_F(NginxFaults, MissingFile) {
  DownloadTask task(faults::kSegments);
  task.SetRetryDelays(faults::kQuickRetries);
  ASSERT_TRUE(task.AddItem(UrlAt("files"), "", 0, 0, ""));
  ExpectCleanFailure(RunTask(task, 2000), task);
}

}  // namespace

// What the wizard's taskbar button shows through an install, behind the seam of a recording
// button; and that a taskbar list that cannot be made leaves the install's reports harmless.
#include "wizard/taskbar_progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Shown {
  TaskbarState state;
  uint64_t done;
  uint64_t total;
  bool operator==(const Shown& other) const {
    return state == other.state && done == other.done && total == other.total;
  }
};
std::ostream& operator<<(std::ostream& out, const Shown& shown) {
  return out << static_cast<int>(shown.state) << " " << shown.done << "/" << shown.total;
}

std::vector<Shown> shown;  // what the recording buttons were told, in order

class RecordingButton : public TaskbarButton {
 public:
  void Show(TaskbarState state, uint64_t done, uint64_t total) override {
    shown.push_back({state, done, total});
  }
};

std::unique_ptr<TaskbarButton> MakeRecordingButton(HWND) {
  return std::make_unique<RecordingButton>();
}

// A COM class nobody registered: CoCreateInstance fails as on a system without a taskbar list.
constexpr CLSID kNoSuchClass = {0x1b2f06a4, 0x2d85, 0x4c8e, {0x9a, 0x51, 0, 0, 0, 0, 0, 1}};
std::unique_ptr<TaskbarButton> MakeMissingButton(HWND window) {
  return MakeComTaskbarButton(window, kNoSuchClass);
}

const UINT kButtonCreated = ::RegisterWindowMessageA("TaskbarButtonCreated");

TEST(TaskbarProgress, StateForEachStatus) {
  using S = StatusKind;
  using T = TaskbarState;
  const struct {
    StatusKind status;
    bool paused, setupRunning;
    TaskbarState expected;
  } cases[] = {
      {S::Installing, false, false, T::Normal},
      {S::Percent, false, false, T::Normal},
      {S::Redownloading, false, false, T::Normal},
      {S::NetworkStalled, false, false, T::Normal},
      {S::Percent, true, false, T::Paused},
      {S::NetworkStalled, true, false, T::Paused},
      {S::Percent, false, true, T::Indeterminate},
      {S::Percent, true, true, T::Indeterminate},
      {S::Configuring, false, false, T::Indeterminate},
      {S::StartingGame, true, false, T::Indeterminate},
      {S::Failed, false, true, T::Error},
      {S::Failed, true, false, T::Error},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TaskbarStateFor(c.status, c.paused, c.setupRunning), c.expected)
        << static_cast<int>(c.status) << " paused " << c.paused << " setup " << c.setupRunning;
  }
}

TEST(TaskbarProgress, FollowsAWholeInstallAndTellsOnlyChanges) {
  shown.clear();
  TaskbarProgress taskbar(&MakeRecordingButton);
  EXPECT_FALSE(taskbar.HandleButtonCreated(kButtonCreated));  // not watching a window yet
  taskbar.Watch(nullptr);
  taskbar.Status(StatusKind::Installing, false);  // before the taskbar has made the button
  taskbar.Bar(0, 14000000);
  EXPECT_FALSE(taskbar.HandleButtonCreated(WM_APP));
  ASSERT_TRUE(taskbar.HandleButtonCreated(kButtonCreated));  // shown what is, at once
  taskbar.Bar(1260000, 14000000);
  taskbar.Status(StatusKind::Percent, false);  // same state, same value: nothing to tell
  taskbar.Bar(1260000, 14000000);
  taskbar.Status(StatusKind::Percent, true);   // the user paused
  taskbar.Bar(2520000, 14000000);
  taskbar.Status(StatusKind::Percent, false);  // and continued
  taskbar.SetupRunning(true);                  // every byte in, the setup program runs
  taskbar.Bar(12740000, 14000000);             // the creeping bar does not show here
  taskbar.Status(StatusKind::Configuring, false);
  taskbar.Finished();
  const std::vector<Shown> expected = {
      {TaskbarState::Normal, 0, 14000000},         {TaskbarState::Normal, 1260000, 14000000},
      {TaskbarState::Paused, 1260000, 14000000},   {TaskbarState::Paused, 2520000, 14000000},
      {TaskbarState::Normal, 2520000, 14000000},   {TaskbarState::Indeterminate, 2520000, 14000000},
      {TaskbarState::None, 12740000, 14000000},
  };
  EXPECT_EQ(shown, expected);
}

TEST(TaskbarProgress, FailureShowsTheErrorAtTheBarsLength) {
  shown.clear();
  TaskbarProgress taskbar(&MakeRecordingButton);
  taskbar.Watch(nullptr);
  ASSERT_TRUE(taskbar.HandleButtonCreated(kButtonCreated));
  EXPECT_TRUE(shown.empty());  // no install yet: nothing to show
  taskbar.Status(StatusKind::Percent, false);
  taskbar.Bar(700, 1000);
  taskbar.SetupRunning(true);  // the monitor takes the pause away as the task gives up
  taskbar.Status(StatusKind::Failed, false);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), (Shown{TaskbarState::Error, 700, 1000}));
}

TEST(TaskbarProgress, NoTaskbarListLeavesTheReportsHarmless) {
  EXPECT_EQ(MakeComTaskbarButton(nullptr, kNoSuchClass), nullptr);
  TaskbarProgress taskbar(&MakeMissingButton);
  taskbar.Watch(nullptr);
  EXPECT_TRUE(taskbar.HandleButtonCreated(kButtonCreated));
  taskbar.Status(StatusKind::Percent, false);
  taskbar.Bar(1, 2);
  taskbar.Status(StatusKind::Percent, true);
  taskbar.SetupRunning(true);
  taskbar.Status(StatusKind::Failed, false);
  taskbar.Finished();
  // The shell's own list, where this system has one: made or not, nothing else depends on it.
  std::printf("taskbar list here: %s\n", MakeComTaskbarButton(nullptr) ? "made" : "missing");
}

}  // namespace

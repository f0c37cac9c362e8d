// The install's progress on the wizard's taskbar button (ITaskbarList3): the bar's value while
// downloading, paused while the user has paused, indeterminate while the setup program runs, the
// error state when the install failed, nothing once it is over. Windows without the interface,
// or a taskbar that cannot be reached, show nothing there; the install goes on all the same.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "wizard/install_monitor.h"

enum class TaskbarState { None, Normal, Paused, Indeterminate, Error };

// The seam between the mapping and the taskbar: what one button is told to show.
class TaskbarButton {
 public:
  virtual ~TaskbarButton() = default;
  // `done` / `total` is the bar's value; it matters in the states Normal, Paused and Error.
  virtual void Show(TaskbarState state, uint64_t done, uint64_t total) = 0;
};

// The window's taskbar button through ITaskbarList3 (the shell's taskbar list, or the COM class
// `taskbarClass`); null when the list cannot be made (CoCreateInstance or HrInit fails).
std::unique_ptr<TaskbarButton> MakeComTaskbarButton(HWND window);
std::unique_ptr<TaskbarButton> MakeComTaskbarButton(HWND window, const CLSID& taskbarClass);

// The state the button shows for the last status of the install.
TaskbarState TaskbarStateFor(StatusKind status, bool paused, bool setupRunning);

// Follows the wizard's reports on its window's thread and tells the button only of changes.
class TaskbarProgress {
 public:
  using ButtonFactory = std::unique_ptr<TaskbarButton> (*)(HWND window);

  explicit TaskbarProgress(ButtonFactory factory = &MakeComTaskbarButton) : factory_(factory) {}

  // Lets the taskbar's "button created" message reach `window` even when it runs elevated.
  void Watch(HWND window);
  // True for the taskbar's "button created" message (sent again when the shell restarts): the
  // button is made afresh and shown the install as it is now.
  bool HandleButtonCreated(UINT message);

  void Status(StatusKind status, bool paused);
  void Bar(uint64_t done, uint64_t total);
  // The monitor takes the pause away while the setup program runs and gives it back after.
  void SetupRunning(bool running);
  void Finished();

 private:
  void Update(TaskbarState state);

  ButtonFactory factory_;
  HWND window_ = nullptr;
  UINT buttonCreated_ = 0;
  std::unique_ptr<TaskbarButton> button_;
  StatusKind status_ = StatusKind::Installing;
  bool paused_ = false;
  bool setupRunning_ = false;
  bool started_ = false;  // a status has come: the install runs
  TaskbarState state_ = TaskbarState::None;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
};

#include "wizard/taskbar_progress.h"

#include <shobjidl.h>

#include "mfc/scoped_win.h"

namespace {

class ComTaskbarButton : public TaskbarButton {
 public:
  ComTaskbarButton(HWND window, ITaskbarList3* list) : window_(window), list_(list) {}
  ~ComTaskbarButton() override { list_->Release(); }
  ComTaskbarButton(const ComTaskbarButton&) = delete;
  ComTaskbarButton& operator=(const ComTaskbarButton&) = delete;

  void Show(TaskbarState state, uint64_t done, uint64_t total) override {
    list_->SetProgressState(window_, Flag(state));
    // A value switches an indeterminate or empty button to normal: set it only where it shows.
    if (state == TaskbarState::Normal || state == TaskbarState::Paused ||
        state == TaskbarState::Error) {
      list_->SetProgressValue(window_, done, total);
    }
  }

 private:
  static TBPFLAG Flag(TaskbarState state) {
    switch (state) {
      case TaskbarState::Normal:
        return TBPF_NORMAL;
      case TaskbarState::Paused:
        return TBPF_PAUSED;
      case TaskbarState::Indeterminate:
        return TBPF_INDETERMINATE;
      case TaskbarState::Error:
        return TBPF_ERROR;
      case TaskbarState::None:
        break;
    }
    return TBPF_NOPROGRESS;
  }

  ScopedCom com_;  // the list is used on this thread for as long as the button lives
  HWND window_;
  ITaskbarList3* list_;
};

}  // namespace

std::unique_ptr<TaskbarButton> MakeComTaskbarButton(HWND window) {
  return MakeComTaskbarButton(window, __uuidof(TaskbarList));
}

std::unique_ptr<TaskbarButton> MakeComTaskbarButton(HWND window, const CLSID& taskbarClass) {
  ScopedCom com;  // for the creation; the button keeps its own
  ITaskbarList3* list = nullptr;
  // __uuidof, not the uuid library: that links the ids of a whole header group into the exe.
  if (FAILED(::CoCreateInstance(taskbarClass, nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(ITaskbarList3), reinterpret_cast<void**>(&list)))) {
    return nullptr;
  }
  if (FAILED(list->HrInit())) {
    list->Release();
    return nullptr;
  }
  return std::make_unique<ComTaskbarButton>(window, list);
}

TaskbarState TaskbarStateFor(StatusKind status, bool paused, bool setupRunning) {
  switch (status) {
    case StatusKind::Failed:
      return TaskbarState::Error;
    case StatusKind::Configuring:
    case StatusKind::StartingGame:
      return TaskbarState::Indeterminate;
    default:
      break;
  }
  if (setupRunning) return TaskbarState::Indeterminate;
  return paused ? TaskbarState::Paused : TaskbarState::Normal;
}

void TaskbarProgress::Watch(HWND window) {
  window_ = window;
  buttonCreated_ = ::RegisterWindowMessageW(L"TaskbarButtonCreated");
  // The shell runs unelevated: without this, an elevated wizard never hears of its button.
  if (buttonCreated_ != 0) {
    ::ChangeWindowMessageFilterEx(window, buttonCreated_, MSGFLT_ALLOW, nullptr);
  }
}

bool TaskbarProgress::HandleButtonCreated(UINT message) {
  if (buttonCreated_ == 0 || message != buttonCreated_) return false;
  button_ = factory_(window_);
  if (button_ && state_ != TaskbarState::None) button_->Show(state_, done_, total_);
  return true;
}

void TaskbarProgress::Status(StatusKind status, bool paused) {
  status_ = status;
  paused_ = paused;
  started_ = true;
  Update(TaskbarStateFor(status_, paused_, setupRunning_));
}

void TaskbarProgress::Bar(uint64_t done, uint64_t total) {
  if (done == done_ && total == total_) return;
  done_ = done;
  total_ = total;
  if (button_ && (state_ == TaskbarState::Normal || state_ == TaskbarState::Paused)) {
    button_->Show(state_, done_, total_);
  }
}

void TaskbarProgress::SetupRunning(bool running) {
  setupRunning_ = running;
  if (started_) Update(TaskbarStateFor(status_, paused_, setupRunning_));
}

void TaskbarProgress::Finished() {
  started_ = false;
  Update(TaskbarState::None);
}

void TaskbarProgress::Update(TaskbarState state) {
  if (state == state_) return;
  state_ = state;
  if (button_) button_->Show(state_, done_, total_);
}

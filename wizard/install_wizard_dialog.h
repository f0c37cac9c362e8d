// The installer's one main window: a frameless, skinned dialog that shows the install folder,
// lets the user change it, holds the terms box and two links, and has one large button that
// starts, pauses and continues the install. It owns the download task that fetches and runs the
// platform's setup program, and a monitor thread that turns the task's progress into the status
// line and the progress bar; when the setup program has finished it starts the game and closes.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "mfc/afxwin.h"
#include "skin/hover_button.h"
#include "skin/hyperlink_static.h"
#include "skin/layered_window_host.h"
#include "tasks/download_task.h"
#include "wizard/progress_strip_dialog.h"
#include "wizard/setup_install.h"
#include "wizard/taskbar_progress.h"
#include "wizard/wizard_state.h"

// The monitor thread's procedure; `wizard` is the InstallWizardDialog. Returns 0.
UINT MonitorInstall(void* wizard);

class InstallWizardDialog : public LayeredWindowHost {
 public:
  explicit InstallWizardDialog(CWnd* parent = nullptr);
  // Stops the monitor before the task and the controls it reports to go.
  ~InstallWizardDialog() override;

  int State() const { return state.load(); }

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  // Skins the window, dresses the controls, queues the setup program and shows the folder.
  BOOL OnInitDialog() override;
  // Called by the start button (and Enter): start, pause or continue, by state.
  void OnOK() override;
  // Called by Escape and the dialog's cancel: like the close button.
  void OnCancel() override;
  // Called when the window is asked to close (Alt+F4, the taskbar): like the close button.
  void OnClose() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  // Called for system-menu commands: the About item opens the About box.
  void OnSysCommand(UINT id, LPARAM lParam) override;
  // Called to paint: the icon when minimised; the wait cursor blinks on the very first paint.
  void OnPaint() override;
  // Called when the minimised window is dragged: the icon to show.
  HCURSOR OnQueryDragIcon() override;
  // Called for the colours of a control: the folder line, the status line and the links.
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT ctlColor) override;
  // No timer is ever started.
  void OnTimer(UINT_PTR) override {}
  // The monitor's reports arrive as private messages, handled here on the window's thread.
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Shows the path's tooltip when the pointer rests on it.
  BOOL PreTranslateMessage(MSG* msg) override;

 private:
  friend UINT MonitorInstall(void* wizard);

  // Starts an install from state Ready, unless the user keeps a running lobby.
  void StartInstall();
  // The terms box: ticking and unticking it.
  void OnAgreeClicked();
  // Gives `button` strip `stripId` (of the 100 % set) at the wizard's density.
  void LoadStrip(CHoverButton& button, UINT stripId);
  // Every button's strip for the state it is in, at the wizard's density and at its place,
  // named by what its face says.
  void DressButtons();
  // The start button's face, tooltip and name: start, pause or continue.
  void ShowStartFace(UINT stripId, const char* label);
  // The bar's left end at the wizard's density; where it goes once an install runs.
  void PlaceCap();
  // Every text at its place in the picture and in the program's font, at the wizard's density.
  void PlaceTexts();
  // The wizard moved to a monitor of another density: its art and places follow.
  void OnDpiChanged(UINT newDpi, const RECT& suggested);
  // The change-folder button: the folder dialog.
  void OnBrowse();
  // Shows the install folder in its field and its tooltip.
  void ShowFolder();
  // After a modal box: the wizard active again, `focused` (or the start button) focused.
  void ReturnFocus(HWND focused);
  // Escape, the close button, Alt+F4: while an install runs, asks first; No goes on.
  void AskAndClose();
  // An install has started and has neither finished nor given up.
  bool InstallUnfinished() const;
  // Stops the monitor and the task and ends with IDCANCEL. A download cut short keeps its
  // part files for the next run.
  void CloseWizard();
  // Tells the monitor to end and waits for it; it touches nothing of ours afterwards.
  void StopMonitor();
  // Waits for the monitor thread to end (it has been told to, or has ended by itself).
  void JoinMonitor();
  // Starts the monitor thread over the running task.
  void StartMonitor();
  // "继续" after a full disk: the task starts again from the bytes it kept, watched afresh.
  void ContinueAfterDiskFull();

  // The monitor thread's work, and its wait that ends early when the wizard closes.
  void RunMonitor();
  bool MonitorWait(DWORD ms);
  void Report(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

  // What the monitor reports, on the window's thread.
  void OnMonitorBegin();
  void OnMonitorStatus(int kind, int percent);
  void OnMonitorBar(uint64_t done, uint64_t total);
  void OnMonitorStartButton(BOOL enable);
  void OnMonitorFinish();

  std::atomic<int> state{Ready};
  BOOL agreed = TRUE;
  std::string installFolder;
  DownloadTask task{kSegmentsPerFile};

  CStatic statusLabel;
  CStatic pathLabel;
  CToolTipCtrl pathTip;
  HyperLinkStatic termsLink;
  HyperLinkStatic manualLink;
  CHoverButton minimizeButton;
  CHoverButton closeButton;
  CHoverButton startButton;
  CHoverButton agreeButton;
  CHoverButton browseButton;
  HICON icon = nullptr;  // shared resource icon: not destroyed
  std::unique_ptr<ProgressStripDialog> strip;
  RECT savedCapRect{};
  UINT dpi = 96;            // the density the wizard is drawn for
  ScopedBitmap capPicture;  // the bar's left end at a density other than 96 dpi
  ScopedFont textFont;      // of every text, at the wizard's density

  ScopedBrush fieldBrush;       // behind the folder line and the status line
  ScopedBrush footerBrush;      // behind the two links

  bool installStarted = false;  // the folder and the terms can no longer change
  bool closing = false;         // reports still queued are ignored
  bool asking = false;          // the close question is open
  bool statusWidened = false;   // the status line took the folder's place (once)
  bool finishPending = false;   // the install finished while the close question was open
  HWND monitorTarget = nullptr;  // where the monitor posts, fixed before it starts
  std::unique_ptr<CWinThread> monitorThread;
  ScopedHandle monitorStop;  // manual-reset event: the monitor ends within its current wait

  TaskbarProgress taskbar;  // the install's progress on the taskbar button
};

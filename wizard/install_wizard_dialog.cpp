#include "wizard/install_wizard_dialog.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>

#include "app/install_settings.h"
#include "app/lobby_check.h"
#include "mfc/shell_launch.h"
#include "tasks/install_log.h"
#include "platform/private_folder.h"
#include "platform/program_check.h"
#include "res/resource.h"
#include "wizard/about_dialog.h"
#include "wizard/deployment_urls.h"
#include "wizard/install_monitor.h"
#include "wizard/wizard_texts.h"

namespace {

// The monitor's reports, posted to the wizard: posting never waits for the window's thread,
// so the monitor cannot block a close that waits for it.
enum : UINT {
  WM_MONITOR_BEGIN = WM_APP + 1,  // hide the folder controls; the button pauses now
  WM_MONITOR_STATUS,              // wParam: StatusKind, lParam: percent
  WM_MONITOR_BAR,                 // wParam: done, lParam: total
  WM_MONITOR_START_BUTTON,        // wParam: TRUE to enable
  WM_MONITOR_FINISH,              // start the game and end the wizard
};

constexpr COLORREF kFieldColour = RGB(242, 245, 248);
constexpr COLORREF kManualLinkBack = RGB(247, 249, 251);
constexpr COLORREF kManualLinkText = RGB(0, 0, 255);
constexpr int kStatusWidening = 200;
constexpr DWORD kConfiguringMs = 300;
constexpr DWORD kStartingGameMs = 500;
const char* const kGameProgram = "%s\\Vantreo.exe";
const char* const kCompanionProgram = "%s\\GlyphHint.exe";

// Moves a control out of sight: the skin composites hidden controls too.
void PutOutOfSight(HWND control, int x, int y, int size) {
  ::MoveWindow(control, x, y, size, size, TRUE);
}

// A program of the install folder, started with that folder as its working directory. A path
// longer than MAX_PATH is not cut (a cut path names another file): nothing is started then.
void StartInstalledProgram(const char* format, const std::string& folder) {
  char path[MAX_PATH];
  int length = std::snprintf(path, sizeof(path), format, folder.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof(path)) return;
  // As the signed-in user: the installer's administrator rights are not the game's.
  int code = 0;
  const ShellLaunch how = OpenAsUser(path, nullptr, folder.c_str(), SW_SHOW, &code);
  install_log::Writef("LAUNCH", "%s %s", path,
                      how == ShellLaunch::AsUser     ? "as the signed-in user"
                      : how == ShellLaunch::Elevated ? "with the installer's rights"
                                                     : "failed");
}

}  // namespace

UINT MonitorInstall(void* wizard) {
  static_cast<InstallWizardDialog*>(wizard)->RunMonitor();
  return 0;
}

InstallWizardDialog::InstallWizardDialog(CWnd* parent)
    : LayeredWindowHost(IDD_INSTALL_WIZARD, IDB_SKIN, kSkinImageType, AfxGetResourceHandle(),
                        parent),
      icon(::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDI_APP))) {}

InstallWizardDialog::~InstallWizardDialog() { StopMonitor(); }

void InstallWizardDialog::DoDataExchange(CDataExchange* dx) {
  LayeredWindowHost::DoDataExchange(dx);
  DDX_Control(dx, IDC_TERMS_LINK, termsLink);
  DDX_Control(dx, IDC_MANUAL_LINK, manualLink);
  DDX_Control(dx, IDC_STATUS, statusLabel);
  DDX_Control(dx, IDC_MINIMIZE, minimizeButton);
  DDX_Control(dx, IDC_CLOSE, closeButton);
  DDX_Control(dx, IDOK, startButton);
  DDX_Control(dx, IDC_AGREE, agreeButton);
  DDX_Control(dx, IDC_BROWSE, browseButton);
  DDX_Text(dx, IDC_PATH, installFolder);
}

BOOL InstallWizardDialog::OnInitDialog() {
  LayeredWindowHost::OnInitDialog();

  // Without the system-menu style a window has no system menu at all, so the About item would
  // have nowhere to go. The wizard has no caption: the menu shows from its taskbar button (and
  // Alt+Space); nothing else changes.
  ModifyStyle(0, WS_SYSMENU);
  HMENU systemMenu = GetSystemMenu(FALSE);
  char aboutText[MAX_PATH] = {};
  if (systemMenu &&
      ::LoadStringA(AfxGetResourceHandle(), IDS_ABOUT_MENU, aboutText, sizeof(aboutText)) > 0) {
    ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUT, aboutText);
  }
  if (icon) {
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
  }

  // Each button takes the size of its strip's frame and is then nudged onto the artwork.
  RECT wizardRect;
  GetWindowRect(&wizardRect);
  auto dress = [&](CHoverButton& button, UINT stripId, const char* tip, int dx, int dy) {
    button.LoadStrip(stripId);
    button.SetTip(tip, TRUE);
    RECT rect;
    button.GetWindowRect(&rect);
    button.MoveWindow(rect.left - wizardRect.left + dx, rect.top - wizardRect.top + dy,
                      rect.right - rect.left, rect.bottom - rect.top);
  };
  dress(minimizeButton, IDB_MINIMIZE, WizardText::kTipMinimize, -1, -1);
  dress(closeButton, IDB_CLOSE, WizardText::kTipClose, -1, -1);
  dress(startButton, IDB_START, WizardText::kTipStart, 1, 0);
  dress(agreeButton, IDB_AGREE_ON, WizardText::kTipAgree, -1, 0);
  dress(browseButton, IDB_BROWSE, WizardText::kTipBrowse, 0, 0);

  SetWindowText(WizardText::kTitle);

  // The bar's left end shows only once an install runs.
  HWND cap = GetDlgItem(IDC_BAR_CAP);
  ::GetWindowRect(cap, &savedCapRect);
  ScreenToClient(&savedCapRect);
  PutOutOfSight(cap, -10, -10, 10);

  termsLink.SetLink(kHomeUrl);
  manualLink.SetLink(kManualUrl);

  task.SetPinnedRoots(kTlsRoots);
  task.AddItem(kDownloadUrl, std::string(), kExpectedSetupSize, 1, kSetupArguments);

  if (!InstallSettings::ReadInstallFolder(installFolder)) {
    installFolder = InstallSettings::DefaultInstallFolder();
    InstallSettings::WriteInstallFolder(installFolder);
  }
  UpdateData(FALSE);

  taskbar.Watch(m_hWnd);
  return TRUE;
}

BOOL InstallWizardDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (HIWORD(wParam) == BN_CLICKED) {
    switch (LOWORD(wParam)) {
      case IDC_CLOSE:
        OnCancel();
        return TRUE;
      case IDC_MINIMIZE:
        ShowWindow(SW_MINIMIZE);  // the install goes on
        return TRUE;
      case IDC_AGREE:
        OnAgreeClicked();
        return TRUE;
      case IDC_BROWSE:
        OnBrowse();
        return TRUE;
      default:
        break;
    }
  }
  return LayeredWindowHost::OnCommand(wParam, lParam);
}

void InstallWizardDialog::OnOK() {
  if (!agreed) return;
  // Enter reaches here even when the button is greyed out; a press it cannot get does nothing.
  if (!startButton.IsWindowEnabled()) return;
  switch (state.load()) {
    case Ready:
      StartInstall();
      break;
    case Running:
      startButton.LoadStrip(IDB_CONTINUE);
      startButton.Invalidate();
      state = Paused;
      install_log::Write("STEP", "paused");
      task.Pause();
      break;
    case Paused:
      startButton.LoadStrip(IDB_PAUSE);
      startButton.Invalidate();
      state = Running;
      install_log::Write("STEP", "continued");
      task.Resume();
      break;
    default:
      break;
  }
}

void InstallWizardDialog::OnCancel() { CloseWizard(); }

void InstallWizardDialog::OnClose() { CloseWizard(); }

void InstallWizardDialog::CloseWizard() {
  if (closing) return;
  closing = true;
  install_log::Write("STEP", installStarted ? "closed during the install" : "closed");
  StopMonitor();
  // Blocks until the task's thread has ended; the partial download is deleted.
  task.Stop();
  state = Halted;
  EndDialog(IDCANCEL);
}

void InstallWizardDialog::StopMonitor() {
  state = Halted;
  if (monitorStop.valid()) ::SetEvent(monitorStop.get());
  if (!monitorThread) return;
  // The monitor only posts, but serve sent messages while waiting all the same: whatever the
  // system sends this thread meanwhile must not wait for the end of the wait.
  HANDLE thread = monitorThread->m_hThread;
  while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) ==
         WAIT_OBJECT_0 + 1) {
    MSG msg;
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  monitorThread.reset();
}

void InstallWizardDialog::OnAgreeClicked() {
  if (installStarted) return;
  if (agreed) {
    agreed = FALSE;
    agreeButton.LoadStrip(IDB_AGREE_OFF);
    startButton.LoadStrip(IDB_START_DISABLED);
    state = Halted;
  } else {
    agreed = TRUE;
    agreeButton.LoadStrip(IDB_AGREE_ON);
    startButton.LoadStrip(IDB_START);
    state = Ready;
  }
  agreeButton.Invalidate();
}

void InstallWizardDialog::OnBrowse() {
  if (installStarted) return;
  ScopedCom com;
  char displayName[MAX_PATH] = {};
  BROWSEINFOA browse{};
  // Owned by the wizard, so that the install cannot start while a folder is being chosen.
  browse.hwndOwner = m_hWnd;
  browse.pszDisplayName = displayName;
  browse.lpszTitle = WizardText::kChooseFolder;
  browse.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST chosen = ::SHBrowseForFolderA(&browse);
  if (chosen) {
    char path[MAX_PATH] = {};
    if (::SHGetPathFromIDListA(chosen, path)) {
      // A folder too long for its programs' paths keeps the previous choice.
      const std::string folder = InstallSettings::MakeInstallFolder(path);
      if (InstallSettings::InstallFolderFits(folder)) {
        installFolder = folder;
        InstallSettings::WriteInstallFolder(installFolder);
      }
    }
    ::CoTaskMemFree(chosen);
  }
  UpdateData(FALSE);
}

void InstallWizardDialog::OnSysCommand(UINT id, LPARAM lParam) {
  if ((id & 0xFFF0) == IDM_ABOUT) {
    AboutDialog about(this);
    about.DoModal();
    return;
  }
  LayeredWindowHost::OnSysCommand(id, lParam);
}

void InstallWizardDialog::OnPaint() {
  if (IsIconic()) {
    ScopedPaint dc(m_hWnd);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.get()), 0);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (rect.bottom - rect.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, icon);
    return;
  }
  static bool firstPaintDone = false;  // once in the life of the process
  if (!firstPaintDone) {
    firstPaintDone = true;
    HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, IDC_WAIT));
    ::SetCursor(previous);
  }
  LayeredWindowHost::OnPaint();
}

HCURSOR InstallWizardDialog::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(icon); }

HBRUSH InstallWizardDialog::OnCtlColor(HDC dc, HWND control, UINT ctlColor) {
  HBRUSH brush = LayeredWindowHost::OnCtlColor(dc, control, ctlColor);
  switch (::GetDlgCtrlID(control)) {
    case IDC_STATUS:
    case IDC_PATH:
      ::SetBkColor(dc, kFieldColour);
      if (!fieldBrush.valid()) fieldBrush.reset(::CreateSolidBrush(kFieldColour));
      return fieldBrush.get();
    case IDC_MANUAL_LINK:
      ::SetBkColor(dc, kManualLinkBack);
      ::SetTextColor(dc, kManualLinkText);
      if (!manualLinkBrush.valid()) manualLinkBrush.reset(::CreateSolidBrush(kManualLinkBack));
      return manualLinkBrush.get();
    default:
      return brush;
  }
}

void InstallWizardDialog::StartInstall() {
  if (!CheckRunningLobby()) return;  // the user keeps the lobby: still Ready

  HWND cap = GetDlgItem(IDC_BAR_CAP);
  ::MoveWindow(cap, savedCapRect.left, savedCapRect.top, savedCapRect.right - savedCapRect.left,
               savedCapRect.bottom - savedCapRect.top, TRUE);

  // The bar: placed empty, one pixel short of its height, so nothing of it shows yet.
  strip = std::make_unique<ProgressStripDialog>();
  if (strip->Create(IDD_PROGRESS_STRIP, this)) {
    RECT rect;
    strip->GetWindowRect(&rect);
    strip->MoveWindow(ProgressStripDialog::kHiddenLeft, ProgressStripDialog::kTop, 0,
                      rect.bottom - rect.top - 1);
    strip->ShowWindow(SW_SHOW);
    strip->ResetPicture();
  } else {
    strip.reset();
  }

  startButton.EnableWindow(FALSE);
  installStarted = true;
  install_log::Write("STEP", "install started into " + installFolder);
  task.Start();

  monitorTarget = m_hWnd;
  monitorStop.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  CWinThread* thread = nullptr;
  if (monitorStop.valid()) {
    thread = AfxBeginThread(&MonitorInstall, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
  }
  if (thread) {
    thread->m_bAutoDelete = FALSE;
    monitorThread.reset(thread);
    thread->ResumeThread();
  }
}

// --- the monitor thread ------------------------------------------------------------------

bool InstallWizardDialog::MonitorWait(DWORD ms) {
  return ::WaitForSingleObject(monitorStop.get(), ms) == WAIT_TIMEOUT;
}

void InstallWizardDialog::Report(UINT message, WPARAM wParam, LPARAM lParam) {
  ::PostMessageA(monitorTarget, message, wParam, lParam);
}

void InstallWizardDialog::RunMonitor() {
  Report(WM_MONITOR_BEGIN);
  int expected = Ready;
  if (!state.compare_exchange_strong(expected, Running)) return;  // closing already
  InstallMonitor monitor(::GetTickCount());
  Report(WM_MONITOR_STATUS, static_cast<WPARAM>(StatusKind::Installing), 0);

  const TaskProgress& progress = task.GetProgress();
  while (state.load() != Halted) {
    if (task.IsFinished()) {
      const uint32_t total = progress.bytesTotal.load();
      Report(WM_MONITOR_BAR, total, total);
      Report(WM_MONITOR_STATUS, static_cast<WPARAM>(StatusKind::Configuring), 0);
      if (!MonitorWait(kConfiguringMs)) return;
      Report(WM_MONITOR_STATUS, static_cast<WPARAM>(StatusKind::StartingGame), 0);
      if (!MonitorWait(kStartingGameMs)) return;
      Report(WM_MONITOR_FINISH);
      return;
    }

    ProgressSample sample;
    sample.bytesDone = progress.bytesDone.load();
    sample.bytesTotal = progress.bytesTotal.load();
    const DownloadItem* item = progress.currentItem.load();
    sample.hasItem = item != nullptr;
    if (item) sample.itemState = item->state.load();
    const uint32_t itemCount = progress.itemCount.load();
    sample.downloaded = itemCount > 0 && progress.itemsDone.load() >= itemCount;
    sample.paused = state.load() == Paused;
    sample.failed = task.HasFailed();
    sample.refused = task.GetRefusal() != platform::ProgramCheck::Ok;

    const MonitorStep step = monitor.Cycle(sample, ::GetTickCount());
    if (step.startButton != StartButtonChange::None) {
      Report(WM_MONITOR_START_BUTTON, step.startButton == StartButtonChange::Enable);
    }
    Report(WM_MONITOR_STATUS, static_cast<WPARAM>(step.status), step.percent);
    if (step.advanceBar) Report(WM_MONITOR_BAR, step.barDone, step.barTotal);
    if (step.end) return;
    if (!MonitorWait(step.waitMs)) return;
  }
}

// --- the monitor's reports, on the window's thread ----------------------------------------

LRESULT InstallWizardDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_MONITOR_BEGIN:
      OnMonitorBegin();
      return 0;
    case WM_MONITOR_STATUS:
      OnMonitorStatus(static_cast<int>(wParam), static_cast<int>(lParam));
      return 0;
    case WM_MONITOR_BAR:
      OnMonitorBar(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
      return 0;
    case WM_MONITOR_START_BUTTON:
      OnMonitorStartButton(static_cast<BOOL>(wParam));
      return 0;
    case WM_MONITOR_FINISH:
      OnMonitorFinish();
      return 0;
    default:
      if (taskbar.HandleButtonCreated(message)) return 0;
      return LayeredWindowHost::WindowProc(message, wParam, lParam);
  }
}

void InstallWizardDialog::OnMonitorBegin() {
  if (closing) return;
  // The folder and the terms can no longer change; the label becomes the status line.
  PutOutOfSight(GetDlgItem(IDC_PATH), -1, -1, 1);
  PutOutOfSight(GetDlgItem(IDC_AGREE), -1, -1, 1);
  PutOutOfSight(GetDlgItem(IDC_BROWSE), -1, -1, 1);
  RECT rect;
  statusLabel.GetWindowRect(&rect);
  ScreenToClient(&rect);
  statusLabel.MoveWindow(rect.left, rect.top, rect.right - rect.left + kStatusWidening,
                         rect.bottom - rect.top);
  startButton.LoadStrip(IDB_PAUSE);
  startButton.Invalidate();
}

void InstallWizardDialog::OnMonitorStatus(int kind, int percent) {
  if (closing) return;
  const std::string text = StatusText(static_cast<StatusKind>(kind), percent);
  if (statusLabel.GetWindowText() != text) {
    statusLabel.SetWindowText(text.c_str());
    // Percent lines are many: the log keeps the others, which say what happened.
    if (static_cast<StatusKind>(kind) != StatusKind::Percent) install_log::Write("STATUS", text);
  }
  taskbar.Status(static_cast<StatusKind>(kind), state.load() == Paused);
}

void InstallWizardDialog::OnMonitorBar(uint32_t done, uint32_t total) {
  if (closing) return;
  taskbar.Bar(done, total);
  if (!strip) return;
  strip->done = done;
  strip->total = total;
  const uint32_t before = strip->filledPixels;
  strip->Advance();
  // The bar is not one of the controls whose paints refresh the skin.
  if (strip->filledPixels != before) RenderSkin();
}

void InstallWizardDialog::OnMonitorStartButton(BOOL enable) {
  if (closing) return;
  startButton.EnableWindow(enable);
  taskbar.SetupRunning(!enable);  // nothing to pause: the setup program runs (or the task gave up)
}

void InstallWizardDialog::OnMonitorFinish() {
  if (closing) return;
  taskbar.Finished();
  // The download's parts stay after the file is written from them; the setup has run.
  task.DeletePartFiles();
  // An elevated installer's private folder keeps only its own files, not the program.
  if (platform::ProcessIsElevated()) task.DeleteDownloadedFiles();
  install_log::Write("STEP", "installed; starting the game");
  ScopedCom com;
  StartInstalledProgram(kGameProgram, installFolder);
  StartInstalledProgram(kCompanionProgram, installFolder);
  EndDialog(0);
}

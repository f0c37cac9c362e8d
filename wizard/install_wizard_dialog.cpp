#include "wizard/install_wizard_dialog.h"

#include <shellapi.h>
#include <shlobj.h>

#include "app/install_settings.h"
#include "app/lobby_check.h"
#include "tasks/install_log.h"
#include "platform/files.h"
#include "platform/program_check.h"
#include "platform/text_win32.h"
#include "res/art/palette.h"
#include "res/resource.h"
#include "skin/dpi_scale.h"
#include "skin/text_font.h"
#include "wizard/art_set.h"
#include "wizard/about_dialog.h"
#include "wizard/deployment_urls.h"
#include "wizard/failure_text.h"
#include "wizard/install_monitor.h"
#include "wizard/percent.h"
#include "wizard/setup_install.h"
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

constexpr COLORREF kManualLinkText = RGB(0, 0, 255);
constexpr int kStatusWidening = 200;  // at 96 dpi, as every length here
// Where the bar's left end stands once an install runs: its bitmap was cut from the picture there.
constexpr POINT kCapPlace{21, 293};
constexpr DWORD kConfiguringMs = 300;
constexpr DWORD kStartingGameMs = 500;
constexpr UINT_PTR kPathToolId = 1;
// Where each text sits in the picture, at 96 dpi, whatever the font: the folder's label and the
// folder fill their field, the links stand on the footer's lines.
struct TextPlace {
  int id;
  RECT rect;
};
constexpr TextPlace kTextPlaces[] = {
    {IDC_STATUS, {24, 249, 95, 279}},
    {IDC_PATH, {93, 249, 374, 279}},
    {IDC_TERMS_LINK, {53, 333, 186, 345}},
    {IDC_MANUAL_LINK, {254, 330, 363, 342}},
};
constexpr int kStripFrames = 3;  // normal, hover, pressed

// The folder dialog opens at `data`, a UTF-16 path.
int CALLBACK SelectCurrentFolder(HWND dialog, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) ::SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

// `folder`, or its nearest parent that exists (the install folder is made by the install).
std::string NearestExistingFolder(std::string folder) {
  while (!folder.empty()) {
    if (platform::IsDirectory(folder)) break;
    const size_t lastSeparator = folder.rfind('\\');
    // "C:\" keeps its backslash: "C:" alone names the drive's current folder.
    const size_t parent = lastSeparator != std::string::npos && lastSeparator > 0 &&
                                  folder[lastSeparator - 1] == ':'
                              ? lastSeparator + 1
                              : lastSeparator;
    if (parent == std::string::npos || parent >= folder.size()) return std::string();
    folder.resize(parent);
  }
  return folder;
}

// Moves a control out of sight: the skin composites hidden controls too.
void PutOutOfSight(HWND control, int x, int y, int size) {
  ::MoveWindow(control, x, y, size, size, TRUE);
}

}  // namespace

UINT MonitorInstall(void* wizard) {
  static_cast<InstallWizardDialog*>(wizard)->RunMonitor();
  return 0;
}

InstallWizardDialog::InstallWizardDialog(CWnd* parent)
    : LayeredWindowHost(IDD_INSTALL_WIZARD, IDB_SKIN, kSkinImageType, AfxGetResourceHandle(),
                        parent),
      icon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_APP))) {}

InstallWizardDialog::~InstallWizardDialog() { StopMonitor(); }

void InstallWizardDialog::DoDataExchange(CDataExchange* dx) {
  LayeredWindowHost::DoDataExchange(dx);
  DDX_Control(dx, IDC_TERMS_LINK, termsLink);
  DDX_Control(dx, IDC_MANUAL_LINK, manualLink);
  DDX_Control(dx, IDC_STATUS, statusLabel);
  DDX_Control(dx, IDC_PATH, pathLabel);
  DDX_Control(dx, IDC_MINIMIZE, minimizeButton);
  DDX_Control(dx, IDC_CLOSE, closeButton);
  DDX_Control(dx, IDOK, startButton);
  DDX_Control(dx, IDC_AGREE, agreeButton);
  DDX_Control(dx, IDC_BROWSE, browseButton);
  DDX_Text(dx, IDC_PATH, installFolder);
}

BOOL InstallWizardDialog::OnInitDialog() {
  // The art for the density of the monitor the wizard opens on. Every control is then put in
  // its place in pixels of that art: the template's dialog units would follow whatever font
  // the system substitutes for the template's.
  dpi = WindowDpi(m_hWnd);
  if (dpi != kBaseDpi) ReplaceImage(LoadArtPicture(dpi));
  LayeredWindowHost::OnInitDialog();

  // Without the system-menu style a window has no system menu at all, so the About item would
  // have nowhere to go. The wizard has no caption: the menu shows from its taskbar button (and
  // Alt+Space); nothing else changes.
  ModifyStyle(0, WS_SYSMENU);
  HMENU systemMenu = GetSystemMenu(FALSE);
  wchar_t aboutText[MAX_PATH] = {};
  if (systemMenu &&
      ::LoadStringW(AfxGetResourceHandle(), IDS_ABOUT_MENU, aboutText, MAX_PATH) > 0) {
    ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(systemMenu, MF_STRING, IDM_ABOUT, aboutText);
  }
  if (icon) {
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
  }

  DressButtons();
  minimizeButton.SetTip(WizardText::kTipMinimize, TRUE);
  closeButton.SetTip(WizardText::kTipClose, TRUE);
  startButton.SetTip(WizardText::kTipStart, TRUE);
  agreeButton.SetTip(WizardText::kTipAgree, TRUE);
  browseButton.SetTip(WizardText::kTipBrowse, TRUE);

  SetWindowText(WizardText::kTitle);

  // The bar's left end shows only once an install runs.
  PlaceCap();
  PutOutOfSight(GetDlgItem(IDC_BAR_CAP), -10, -10, 10);

  PlaceTexts();
  termsLink.SetLink(kHomeUrl);
  manualLink.SetLink(kManualUrl);

  QueueSetupProgram(task);

  if (!InstallSettings::ReadInstallFolder(installFolder)) {
    installFolder = InstallSettings::DefaultInstallFolder();
    InstallSettings::WriteInstallFolder(installFolder);
  }
  UpdateData(FALSE);
  // The path is shortened in its middle to fit; its tooltip shows it whole.
  if (pathTip.Create(this, 0)) {
    RECT rect;
    pathLabel.GetClientRect(&rect);
    pathTip.AddTool(&pathLabel, installFolder.c_str(), &rect, kPathToolId);
  }
  taskbar.Watch(m_hWnd);
  // The keyboard starts at the main action: Enter starts the install. Its cue follows the
  // system's rule: hidden until the keyboard is used, unless the user always wants cues.
  SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(startButton.m_hWnd), TRUE);
  SendMessage(WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, UISF_HIDEFOCUS), 0);
  return FALSE;
}

BOOL InstallWizardDialog::PreTranslateMessage(MSG* msg) {
  if (pathTip.m_hWnd && msg->hwnd == pathLabel.m_hWnd) pathTip.RelayEvent(msg);
  // Moving the focus with the keyboard shows where it is, as the system's dialogs do.
  if (msg->message == WM_KEYDOWN &&
      (msg->wParam == VK_TAB || (msg->wParam >= VK_LEFT && msg->wParam <= VK_DOWN)) &&
      (SendMessage(WM_QUERYUISTATE) & UISF_HIDEFOCUS)) {
    SendMessage(WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
  }
  return LayeredWindowHost::PreTranslateMessage(msg);
}

void InstallWizardDialog::LoadStrip(CHoverButton& button, UINT stripId) {
  button.SetStrip(LoadArtBitmap(stripId, dpi, kStripFrames));
}

void InstallWizardDialog::ShowStartFace(UINT stripId, const char* label) {
  LoadStrip(startButton, stripId);
  startButton.SetTip(label, TRUE);
  startButton.SetWindowText(label);  // its name for screen readers
  startButton.Invalidate();
}

void InstallWizardDialog::DressButtons() {
  UINT startStrip = agreed ? IDB_START : IDB_START_DISABLED;
  const bool continues = state.load() == Paused || state.load() == OutOfSpace;
  if (installStarted) startStrip = continues ? IDB_CONTINUE : IDB_PAUSE;
  const UINT agreeStrip = agreed ? IDB_AGREE_ON : IDB_AGREE_OFF;
  const char* startName = WizardText::kTipStart;
  if (installStarted) startName = continues ? WizardText::kTipContinue : WizardText::kTipPause;
  struct Dressing {
    CHoverButton& button;
    UINT strip;
    POINT place;       // where its frames were cut from the picture, at 96 dpi
    const char* name;  // what its face says, for screen readers (its window text)
  };
  const Dressing dressings[] = {
      {minimizeButton, IDB_MINIMIZE, {442, 13}, WizardText::kTipMinimize},
      {closeButton, IDB_CLOSE, {469, 13}, WizardText::kTipClose},
      {startButton, startStrip, {397, 324}, startName},
      {agreeButton, agreeStrip, {22, 329}, WizardText::kNameAgree},
      {browseButton, IDB_BROWSE, {395, 251}, WizardText::kNameBrowse},
  };
  for (const Dressing& dressing : dressings) {
    LoadStrip(dressing.button, dressing.strip);
    if (dressing.button.GetWindowText() != dressing.name) dressing.button.SetWindowText(dressing.name);
    // Those hidden by the install stay out of sight.
    if (!(dressing.button.GetStyle() & WS_VISIBLE)) continue;
    dressing.button.MoveWindow(ScaleToDpi(dressing.place.x, dpi),
                               ScaleToDpi(dressing.place.y, dpi), dressing.button.FrameWidth(),
                               dressing.button.FrameHeight());
  }
}

void InstallWizardDialog::PlaceCap() {
  HWND cap = GetDlgItem(IDC_BAR_CAP);
  // At 96 dpi the template's bitmap is the one (unless another density came first).
  if (dpi != kBaseDpi || capPicture.valid()) {
    ShowArtBitmap(cap, &capPicture, LoadArtBitmap(IDB_BAR_CAP, dpi));
  }
  RECT capRect;
  ::GetWindowRect(cap, &capRect);
  savedCapRect.left = ScaleToDpi(kCapPlace.x, dpi);
  savedCapRect.top = ScaleToDpi(kCapPlace.y, dpi);
  savedCapRect.right = savedCapRect.left + capRect.right - capRect.left;
  savedCapRect.bottom = savedCapRect.top + capRect.bottom - capRect.top;
}

void InstallWizardDialog::PlaceTexts() {
  ScopedFont font = CreateChineseFont(kTextPoints, dpi);
  for (const TextPlace& place : kTextPlaces) {
    HWND control = GetDlgItem(place.id);
    // Those hidden by the install stay out of sight.
    if (!(::GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE)) continue;
    RECT rect{ScaleToDpi(place.rect.left, dpi), ScaleToDpi(place.rect.top, dpi),
              ScaleToDpi(place.rect.right, dpi), ScaleToDpi(place.rect.bottom, dpi)};
    if (place.id == IDC_STATUS && installStarted) rect.right += ScaleToDpi(kStatusWidening, dpi);
    ::MoveWindow(control, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                 TRUE);
    if (font.valid()) ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
  }
  // The links underline a copy of the font and fit themselves to their text in it.
  if (!font.valid()) return;
  termsLink.SetTextFont(font.get());
  manualLink.SetTextFont(font.get());
  textFont = std::move(font);  // the old one goes once no control shows it
}

void InstallWizardDialog::OnDpiChanged(UINT newDpi, const RECT& suggested) {
  if (newDpi == 0 || newDpi == dpi) return;
  dpi = newDpi;
  ReplaceImage(LoadArtPicture(dpi));
  // The suggested place keeps the wizard where the user moved it; the size is the picture's.
  const PngImage* picture = Image();
  const bool sized = picture && picture->Width() > 0;
  SetWindowPos(nullptr, suggested.left, suggested.top,
               sized ? static_cast<int>(picture->Width()) : suggested.right - suggested.left,
               sized ? static_cast<int>(picture->Height()) : suggested.bottom - suggested.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  DressButtons();
  PlaceTexts();
  // The new bitmap gives the cap its size: back out of sight, or to its place in the bar.
  PlaceCap();
  HWND cap = GetDlgItem(IDC_BAR_CAP);
  if (installStarted) {
    ::MoveWindow(cap, savedCapRect.left, savedCapRect.top, savedCapRect.right - savedCapRect.left,
                 savedCapRect.bottom - savedCapRect.top, TRUE);
  } else {
    PutOutOfSight(cap, -10, -10, 10);
  }
  if (strip) strip->Rescale(dpi);
  RenderSkin();
}

void InstallWizardDialog::ShowFolder() {
  UpdateData(FALSE);
  if (pathTip.m_hWnd) pathTip.UpdateTipText(installFolder.c_str(), &pathLabel, kPathToolId);
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
      ShowStartFace(IDB_CONTINUE, WizardText::kTipContinue);
      state = Paused;
      install_log::Write("STEP", "paused");
      task.Pause();
      break;
    case Paused:
      ShowStartFace(IDB_PAUSE, WizardText::kTipPause);
      state = Running;
      install_log::Write("STEP", "continued");
      task.Resume();
      break;
    case OutOfSpace:
      ContinueAfterDiskFull();
      break;
    default:
      break;
  }
}

void InstallWizardDialog::OnCancel() { AskAndClose(); }

void InstallWizardDialog::OnClose() { AskAndClose(); }

bool InstallWizardDialog::InstallUnfinished() const {
  // Once the task has given up, the line already tells the user to close: nothing to lose.
  return installStarted && !finishPending && !task.IsFinished() && !task.HasFailed();
}

void InstallWizardDialog::AskAndClose() {
  if (closing || asking) return;  // one question at a time
  if (InstallUnfinished()) {
    const HWND focused = ::GetFocus();
    // The box runs its own message loop: the monitor's reports go on meanwhile, and a finish
    // that arrives is held until the answer.
    asking = true;
    const int answer = AfxMessageBox(WizardText::kQuitQuestion, MB_YESNO | MB_ICONQUESTION);
    asking = false;
    if (answer != IDYES) {
      ReturnFocus(focused);
      if (finishPending) OnMonitorFinish();
      return;
    }
  }
  CloseWizard();
}

void InstallWizardDialog::CloseWizard() {
  if (closing) return;
  closing = true;
  install_log::Write("STEP", installStarted ? "closed during the install" : "closed");
  StopMonitor();
  if (task.IsFinished()) {
    CleanUpAfterSetup(task);
  } else {
    // The segments stop now; the task's worker is told to end and waited for when the wizard
    // goes. The part files stay for the next run.
    task.Pause();
  }
  state = Halted;
  EndDialog(IDCANCEL);
}

void InstallWizardDialog::StopMonitor() {
  state = Halted;
  if (monitorStop.valid()) ::SetEvent(monitorStop.get());
  JoinMonitor();
}

void InstallWizardDialog::JoinMonitor() {
  if (!monitorThread) return;
  // The monitor only posts, but serve sent messages while waiting all the same: whatever the
  // system sends this thread meanwhile must not wait for the end of the wait.
  HANDLE thread = monitorThread->m_hThread;
  while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) ==
         WAIT_OBJECT_0 + 1) {
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  monitorThread.reset();
}

void InstallWizardDialog::OnAgreeClicked() {
  if (installStarted) return;
  if (agreed) {
    agreed = FALSE;
    LoadStrip(agreeButton, IDB_AGREE_OFF);
    LoadStrip(startButton, IDB_START_DISABLED);
    state = Halted;
  } else {
    agreed = TRUE;
    LoadStrip(agreeButton, IDB_AGREE_ON);
    LoadStrip(startButton, IDB_START);
    state = Ready;
  }
  agreeButton.Invalidate();
}

void InstallWizardDialog::OnBrowse() {
  if (installStarted) return;
  HWND focused = ::GetFocus();
  ScopedCom com;
  wchar_t displayName[MAX_PATH] = {};
  const std::wstring title = platform::Utf8ToWide(WizardText::kChooseFolder);
  BROWSEINFOW browse{};
  // Owned by the wizard, so that the install cannot start while a folder is being chosen.
  browse.hwndOwner = m_hWnd;
  browse.pszDisplayName = displayName;
  browse.lpszTitle = title.c_str();
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  const std::wstring startFolder = platform::Utf8ToWide(NearestExistingFolder(installFolder));
  browse.lpfn = &SelectCurrentFolder;
  browse.lParam = reinterpret_cast<LPARAM>(startFolder.c_str());
  LPITEMIDLIST chosen = ::SHBrowseForFolderW(&browse);
  if (chosen) {
    wchar_t path[MAX_PATH] = {};
    if (::SHGetPathFromIDListW(chosen, path)) {
      // A folder too long for its programs' paths keeps the previous choice.
      const std::string folder = InstallSettings::MakeInstallFolder(platform::WideToUtf8(path));
      if (InstallSettings::InstallFolderFits(folder)) {
        installFolder = folder;
        InstallSettings::WriteInstallFolder(installFolder);
      }
    }
    ::CoTaskMemFree(chosen);
  }
  ShowFolder();
  ReturnFocus(focused);
}

void InstallWizardDialog::OnSysCommand(UINT id, LPARAM lParam) {
  if ((id & 0xFFF0) == IDM_ABOUT) {
    HWND focused = ::GetFocus();
    AboutDialog about(this);
    about.DoModal();
    ReturnFocus(focused);
    return;
  }
  LayeredWindowHost::OnSysCommand(id, lParam);
}

void InstallWizardDialog::ReturnFocus(HWND focused) {
  // The system hands the activation to the next window in line, which can be the skin window:
  // then no key would reach the wizard.
  ::SetActiveWindow(m_hWnd);
  if (!focused || !::IsWindow(focused) || !::IsChild(m_hWnd, focused) ||
      !::IsWindowVisible(focused)) {
    focused = startButton.m_hWnd;
  }
  ::SetFocus(focused);
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
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    ::SetCursor(previous);
  }
  LayeredWindowHost::OnPaint();
}

HCURSOR InstallWizardDialog::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(icon); }

HBRUSH InstallWizardDialog::OnCtlColor(HDC dc, HWND control, UINT ctlColor) {
  HBRUSH brush = LayeredWindowHost::OnCtlColor(dc, control, ctlColor);
  // The text controls fill with the very colour the picture has under them, and their text
  // leaves it alone: nothing shows where a control ends.
  switch (::GetDlgCtrlID(control)) {
    case IDC_STATUS:
    case IDC_PATH:
      ::SetBkMode(dc, TRANSPARENT);
      if (!fieldBrush.valid()) fieldBrush.reset(::CreateSolidBrush(kArtFieldColour));
      return fieldBrush.get();
    case IDC_MANUAL_LINK:
      ::SetTextColor(dc, kManualLinkText);
      [[fallthrough]];
    case IDC_TERMS_LINK:
      ::SetBkMode(dc, TRANSPARENT);
      if (!footerBrush.valid()) footerBrush.reset(::CreateSolidBrush(kArtFooterColour));
      return footerBrush.get();
    default:
      return brush;
  }
}

void InstallWizardDialog::StartInstall() {
  if (!CheckRunningLobby()) return;  // the user keeps the lobby: still Ready

  HWND cap = GetDlgItem(IDC_BAR_CAP);
  ::MoveWindow(cap, savedCapRect.left, savedCapRect.top, savedCapRect.right - savedCapRect.left,
               savedCapRect.bottom - savedCapRect.top, TRUE);

  // The bar: placed empty, so nothing of it shows yet.
  strip = std::make_unique<ProgressStripDialog>();
  if (strip->Create(IDD_PROGRESS_STRIP, this)) {
    strip->ScaleTo(dpi);
    strip->PlaceEmpty();
    strip->ShowWindow(SW_SHOW);
    strip->ResetPicture();
    strip->ShowPercent(0);
  } else {
    strip.reset();
  }

  startButton.EnableWindow(FALSE);
  installStarted = true;
  install_log::Write("STEP", "install started into " + installFolder);
  task.Start();
  StartMonitor();
}

void InstallWizardDialog::ContinueAfterDiskFull() {
  // The monitor ended when the task gave up; a new one watches the new attempt. The start
  // button waits for the download to be under way again, so that a second press finds a
  // state that can take it.
  JoinMonitor();
  startButton.EnableWindow(FALSE);
  ShowStartFace(IDB_PAUSE, WizardText::kTipPause);
  install_log::Write("STEP", "continued after the disk was full");
  state = Ready;
  task.Start();  // the item kept its bytes: it goes on from them
  StartMonitor();
}

void InstallWizardDialog::StartMonitor() {
  monitorTarget = m_hWnd;
  monitorStop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
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

// Byte counts travel in a report's two parameters whole.
static_assert(sizeof(WPARAM) >= sizeof(uint64_t) && sizeof(LPARAM) >= sizeof(uint64_t),
              "a 64-bit build: byte counts fit a message's parameters");

void InstallWizardDialog::Report(UINT message, WPARAM wParam, LPARAM lParam) {
  ::PostMessageW(monitorTarget, message, wParam, lParam);
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
      const uint64_t total = progress.bytesTotal.load();
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
    if (sample.failed) sample.failure = task.LastError().kind;

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
      OnMonitorBar(static_cast<uint64_t>(wParam), static_cast<uint64_t>(lParam));
      return 0;
    case WM_MONITOR_START_BUTTON:
      OnMonitorStartButton(static_cast<BOOL>(wParam));
      return 0;
    case WM_MONITOR_FINISH:
      OnMonitorFinish();
      return 0;
    case WM_DPICHANGED: {
      // The default handling comes first: for a per-monitor (v2) dialog it scales the
      // template's controls and fonts by the ratio of the two densities. Then the art of the
      // new density replaces the old.
      const LRESULT result = LayeredWindowHost::WindowProc(message, wParam, lParam);
      OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return result;
    }
    default:
      if (taskbar.HandleButtonCreated(message)) return 0;
      return LayeredWindowHost::WindowProc(message, wParam, lParam);
  }
}

void InstallWizardDialog::OnMonitorBegin() {
  if (closing || statusWidened) return;  // a monitor after a full disk finds it done
  statusWidened = true;
  // The folder and the terms can no longer change; the label becomes the status line.
  // Hidden, too: the keyboard cannot reach them, and none paints at its out-of-sight size.
  for (int id : {IDC_PATH, IDC_AGREE, IDC_BROWSE}) {
    HWND control = GetDlgItem(id);
    ::ShowWindow(control, SW_HIDE);
    PutOutOfSight(control, -1, -1, 1);
  }
  RECT rect;
  statusLabel.GetWindowRect(&rect);
  ScreenToClient(&rect);
  statusLabel.MoveWindow(rect.left, rect.top,
                         rect.right - rect.left + ScaleToDpi(kStatusWidening, dpi),
                         rect.bottom - rect.top);
  ShowStartFace(IDB_PAUSE, WizardText::kTipPause);
}

void InstallWizardDialog::OnMonitorStatus(int kind, int percent) {
  if (closing) return;
  std::string text = StatusText(static_cast<StatusKind>(kind), percent);
  if (static_cast<StatusKind>(kind) == StatusKind::DiskFull) {
    // With the sizes; the monitor has ended, and "继续" tries again once space is freed.
    text = LocalFailureText(task.LastError());
    state = OutOfSpace;
    ShowStartFace(IDB_CONTINUE, WizardText::kTipContinue);
  }
  if (statusLabel.GetWindowText() != text) {
    statusLabel.SetWindowText(text.c_str());
    // Percent lines are many: the log keeps the others, which say what happened.
    if (static_cast<StatusKind>(kind) != StatusKind::Percent) install_log::Write("STATUS", text);
  }
  taskbar.Status(static_cast<StatusKind>(kind), state.load() == Paused);
}

void InstallWizardDialog::OnMonitorBar(uint64_t done, uint64_t total) {
  if (closing) return;
  taskbar.Bar(done, total);
  if (!strip) return;
  strip->done = done;
  strip->total = total;
  const uint32_t before = strip->filledPixels;
  strip->Advance();
  strip->ShowPercent(PercentOf(done, total));
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
  finishPending = asking;
  if (finishPending) return;
  taskbar.Finished();
  CleanUpAfterSetup(task);
  install_log::Write("STEP", "installed; starting the game");
  StartInstalledPrograms(installFolder);
  EndDialog(0);
}

// The MFC-shaped layer against real windows (needs a display: run through tests/gui/rig.py).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "mfc/afxwin.h"
#include "platform/text_win32.h"
#include "mfc/scoped_win.h"
#include "mfc/shell_launch.h"
#include "res/resource.h"

namespace {

constexpr UINT kRunStep = WM_APP + 1;

// Ends a dialog from another thread after `ms` unless it ended before: no test can hang.
class Watchdog {
 public:
  Watchdog(CDialog* dialog, DWORD ms) : dialog_(dialog), ms_(ms) {
    thread_ = AfxBeginThread(&Watchdog::Run, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    thread_->m_bAutoDelete = FALSE;
    thread_->ResumeThread();
  }
  ~Watchdog() {
    stop_ = true;
    ::WaitForSingleObject(thread_->m_hThread, INFINITE);
    delete thread_;
  }
  bool fired() const { return fired_; }

 private:
  static UINT Run(void* self) {
    auto* dog = static_cast<Watchdog*>(self);
    for (DWORD waited = 0; waited < dog->ms_ && !dog->stop_; waited += 20) ::Sleep(20);
    if (!dog->stop_) {
      dog->fired_ = true;
      dog->dialog_->EndDialog(-2);
    }
    return 0;
  }
  CDialog* dialog_;
  DWORD ms_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> fired_{false};
  CWinThread* thread_;
};

class RecordingButton : public CButton {
 public:
  std::vector<UINT> pretranslated;
  int drawn = 0;
  UINT drawnId = 0;
  std::function<void()> onDraw;
  bool postNcDestroyed = false;

  BOOL PreTranslateMessage(MSG* msg) override {
    if (msg->hwnd == m_hWnd) pretranslated.push_back(msg->message);
    return CButton::PreTranslateMessage(msg);
  }
  void DrawItem(DRAWITEMSTRUCT* item) override {
    ++drawn;
    drawnId = item->CtlID;
    if (onDraw) onDraw();
  }

 protected:
  void PostNcDestroy() override { postNcDestroyed = true; }
};

class ColouredStatic : public CStatic {
 public:
  ScopedBrush brush{::CreateSolidBrush(RGB(1, 2, 3))};
  std::vector<UINT> reflected;

 protected:
  HBRUSH CtlColor(HDC, UINT) override { return brush.get(); }
  BOOL OnReflectedCommand(UINT code) override {
    reflected.push_back(code);
    return TRUE;
  }
};

// The wizard's template with hooks for each test: `step` runs once the modal loop is running.
class TestDialog : public CDialog {
 public:
  explicit TestDialog(UINT templateId = IDD_INSTALL_WIZARD) : CDialog(templateId) {}

  std::function<void(TestDialog&)> init;
  std::function<void(TestDialog&)> step;
  RecordingButton okButton;
  ColouredStatic status;
  std::string path;
  std::vector<UINT> commands;
  std::vector<std::pair<int, HBRUSH>> colours;  // control id, brush returned by the base
  std::vector<UINT> pretranslated;
  bool okCalled = false;
  bool cancelCalled = false;
  bool postNcDestroyed = false;
  RECT initRect{};

  using CDialog::UpdateData;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    if (m_templateId != IDD_INSTALL_WIZARD) return;
    DDX_Control(dx, IDOK, okButton);
    DDX_Control(dx, IDC_STATUS, status);
    DDX_Text(dx, IDC_PATH, path);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    GetWindowRect(&initRect);
    if (init) init(*this);
    PostMessage(kRunStep);
    return TRUE;
  }
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == kRunStep) {
      if (step) step(*this);
      return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
  BOOL PreTranslateMessage(MSG* msg) override {
    pretranslated.push_back(msg->message);
    return CDialog::PreTranslateMessage(msg);
  }
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    commands.push_back(LOWORD(wParam));
    return CDialog::OnCommand(wParam, lParam);
  }
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT ctlColor) override {
    HBRUSH brush = CDialog::OnCtlColor(dc, control, ctlColor);
    colours.emplace_back(::GetDlgCtrlID(control), brush);
    return brush;
  }
  void OnOK() override {
    okCalled = true;
    CDialog::OnOK();
  }
  void OnCancel() override {
    cancelCalled = true;
    CDialog::OnCancel();
  }
  void PostNcDestroy() override { postNcDestroyed = true; }
};

TEST(CDialogTest, EndDialogFromAnotherThreadEndsTheModalLoop) {
  TestDialog dialog;
  HWND window = nullptr;
  dialog.step = [&](TestDialog& d) {
    window = d.m_hWnd;
    AfxBeginThread(
        [](void* param) -> UINT {
          static_cast<CDialog*>(param)->EndDialog(77);
          return 0;
        },
        &d);
  };
  Watchdog dog(&dialog, 10000);
  EXPECT_EQ(dialog.DoModal(), 77);
  EXPECT_FALSE(dog.fired());
  // The window is gone and every object let go of its handle.
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_EQ(dialog.m_hWnd, nullptr);
  EXPECT_EQ(dialog.okButton.m_hWnd, nullptr);
  EXPECT_TRUE(dialog.postNcDestroyed);
  EXPECT_TRUE(dialog.okButton.postNcDestroyed);
  EXPECT_EQ(CWnd::FromHandle(window), nullptr);
}

TEST(CDialogTest, ControlsSeeTheirMessagesBeforeDispatch) {
  TestDialog dialog;
  dialog.step = [](TestDialog& d) {
    ::PostMessageW(d.okButton.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
    d.PostMessage(WM_CLOSE);
  };
  Watchdog dog(&dialog, 10000);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_TRUE(dialog.cancelCalled);
  // The button saw its mouse move first, then its dialog did (the walk goes up the parents).
  ASSERT_EQ(dialog.okButton.pretranslated.size(), 1u);
  EXPECT_EQ(dialog.okButton.pretranslated[0], static_cast<UINT>(WM_MOUSEMOVE));
  EXPECT_NE(std::find(dialog.pretranslated.begin(), dialog.pretranslated.end(),
                      static_cast<UINT>(WM_MOUSEMOVE)),
            dialog.pretranslated.end());
}

TEST(CDialogTest, OwnerDrawIsReflectedToTheButtonObject) {
  TestDialog dialog;
  dialog.okButton.onDraw = [&] { dialog.EndDialog(5); };
  Watchdog dog(&dialog, 10000);
  EXPECT_EQ(dialog.DoModal(), 5);
  EXPECT_GE(dialog.okButton.drawn, 1);
  EXPECT_EQ(dialog.okButton.drawnId, static_cast<UINT>(IDOK));
}

TEST(CDialogTest, ControlColoursComeFromTheControlObjectElseTheDefault) {
  TestDialog dialog;
  HBRUSH statusBrush = dialog.status.brush.get();
  dialog.step = [](TestDialog& d) {
    HDC dc = ::GetDC(d.m_hWnd);
    d.SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                  reinterpret_cast<LPARAM>(d.GetDlgItem(IDC_STATUS)));
    d.SendMessage(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                  reinterpret_cast<LPARAM>(d.GetDlgItem(IDC_PATH)));
    ::ReleaseDC(d.m_hWnd, dc);
    d.EndDialog(IDOK);
  };
  Watchdog dog(&dialog, 10000);
  dialog.DoModal();
  bool sawStatus = false;
  bool sawPath = false;
  for (auto& [id, brush] : dialog.colours) {
    if (id == IDC_STATUS) {
      sawStatus = true;
      EXPECT_EQ(brush, statusBrush);
    }
    if (id == IDC_PATH) {
      sawPath = true;
      EXPECT_NE(brush, nullptr);
      EXPECT_NE(brush, statusBrush);
    }
  }
  EXPECT_TRUE(sawStatus);
  EXPECT_TRUE(sawPath);
}

TEST(CDialogTest, CommandsFromBoundControlsAreReflectedOthersReachTheDialog) {
  TestDialog dialog;
  dialog.step = [](TestDialog& d) {
    d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_STATUS, STN_CLICKED),
                  reinterpret_cast<LPARAM>(d.GetDlgItem(IDC_STATUS)));
    d.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED),
                  reinterpret_cast<LPARAM>(d.GetDlgItem(IDC_BROWSE)));
    d.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                  reinterpret_cast<LPARAM>(d.GetDlgItem(IDOK)));
  };
  Watchdog dog(&dialog, 10000);
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_TRUE(dialog.okCalled);
  EXPECT_EQ(dialog.status.reflected, std::vector<UINT>{STN_CLICKED});
  // The dialog's handler saw all three; the reflected one was answered by the control.
  EXPECT_EQ(dialog.commands, (std::vector<UINT>{IDC_STATUS, IDC_BROWSE, IDOK}));
}

TEST(CDialogTest, DataExchangeRunsBothWays) {
  TestDialog dialog;
  dialog.path = "C:\\Program Files\\Vantreo";
  std::string shown;
  dialog.step = [&](TestDialog& d) {
    shown = CWnd::FromHandle(d.m_hWnd) == &d ? "" : "not bound";
    shown += WindowTextOf(::GetDlgItem(d.m_hWnd, IDC_PATH));
    d.SetDlgItemText(IDC_PATH, "D:\\游戏\\Vantreo");
    EXPECT_TRUE(d.UpdateData(TRUE));  // DDX_Control binds only once
    d.EndDialog(IDOK);
  };
  Watchdog dog(&dialog, 10000);
  dialog.DoModal();
  EXPECT_EQ(shown, "C:\\Program Files\\Vantreo");
  EXPECT_EQ(dialog.path, "D:\\游戏\\Vantreo");
}

TEST(CDialogTest, CentredAfterInitUnlessItMoved) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& area = monitor.rcWork;

  TestDialog centred;
  RECT shown{};
  centred.step = [&](TestDialog& d) {
    d.GetWindowRect(&shown);
    d.EndDialog(IDOK);
  };
  {
    Watchdog dog(&centred, 10000);
    centred.DoModal();
  }
  EXPECT_EQ(centred.initRect.left, 0);  // the template places it at 0, 0
  int width = shown.right - shown.left;
  int height = shown.bottom - shown.top;
  EXPECT_EQ(shown.left, (area.left + area.right) / 2 - width / 2);
  EXPECT_EQ(shown.top, (area.top + area.bottom) / 2 - height / 2);

  TestDialog moved;
  moved.init = [](TestDialog& d) { d.SetWindowPos(nullptr, 10, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER); };
  moved.step = [&](TestDialog& d) {
    d.GetWindowRect(&shown);
    d.EndDialog(IDOK);
  };
  Watchdog dog(&moved, 10000);
  moved.DoModal();
  EXPECT_EQ(shown.left, 10);
  EXPECT_EQ(shown.top, 20);
}

TEST(CDialogTest, EscapeCancels) {
  TestDialog dialog(IDD_ABOUT);
  dialog.step = [](TestDialog& d) {
    ::PostMessageW(d.GetDlgItem(IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
  };
  Watchdog dog(&dialog, 10000);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_TRUE(dialog.cancelCalled);
  EXPECT_FALSE(dog.fired());
}

TEST(CDialogTest, ModelessChildTakesTheMainWindowAsParentAndOwnerIsDisabledWhileModal) {
  CWinApp app("mfc test");
  TestDialog wizard;
  app.m_pMainWnd = &wizard;
  CDialog strip(IDD_PROGRESS_STRIP);
  HWND stripParent = nullptr;
  HWND wizardWindow = nullptr;
  BOOL ownerEnabledDuringAbout = TRUE;
  HWND aboutOwner = nullptr;
  wizard.step = [&](TestDialog& d) {
    wizardWindow = d.m_hWnd;
    ASSERT_TRUE(strip.Create());
    stripParent = ::GetParent(strip.m_hWnd);
    TestDialog about(IDD_ABOUT);
    about.step = [&](TestDialog& a) {
      ownerEnabledDuringAbout = d.IsWindowEnabled();
      aboutOwner = ::GetWindow(a.m_hWnd, GW_OWNER);
      a.EndDialog(IDOK);
    };
    about.DoModal();
    d.EndDialog(IDOK);
  };
  Watchdog dog(&wizard, 10000);
  wizard.DoModal();
  EXPECT_EQ(stripParent, wizardWindow);
  EXPECT_FALSE(ownerEnabledDuringAbout);
  EXPECT_EQ(aboutOwner, wizardWindow);
  EXPECT_EQ(strip.m_hWnd, nullptr);  // destroyed with its parent
  EXPECT_EQ(app.m_pMainWnd, nullptr);  // cleared when the main window went
}

TEST(AfxTest, WaitableThreadReturnsItsResult) {
  static UINT value = 42;
  CWinThread* thread =
      AfxBeginThread([](void* param) -> UINT { return *static_cast<UINT*>(param); }, &value,
                     THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
  ASSERT_NE(thread, nullptr);
  thread->m_bAutoDelete = FALSE;
  thread->ResumeThread();
  ASSERT_EQ(::WaitForSingleObject(thread->m_hThread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ::GetExitCodeThread(thread->m_hThread, &code);
  EXPECT_EQ(code, 42u);
  delete thread;
}

TEST(AfxTest, MessageBoxIsCaptionedWithTheExecutableName) {
  std::atomic<bool> found{false};
  CWinThread* answer = AfxBeginThread(
      [](void* param) -> UINT {
        for (int i = 0; i < 500; ++i) {
          HWND box = ::FindWindowA("#32770", "mfc_test");
          if (box) {
            static_cast<std::atomic<bool>*>(param)->store(true);
            ::PostMessageW(box, WM_COMMAND, IDNO, 0);
            return 0;
          }
          ::Sleep(20);
        }
        return 1;
      },
      &found, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
  answer->m_bAutoDelete = FALSE;
  answer->ResumeThread();
  int result = AfxMessageBox("question", MB_YESNO | MB_ICONQUESTION);
  ::WaitForSingleObject(answer->m_hThread, INFINITE);
  delete answer;
  EXPECT_TRUE(found);
  EXPECT_EQ(result, IDNO);
}

TEST(CToolTipCtrlTest, ToolsAreAddedAndRelabelled) {
  TestDialog dialog;
  int tools = -1;
  std::string first;
  std::string second;
  dialog.step = [&](TestDialog& d) {
    CToolTipCtrl tip;
    ASSERT_TRUE(tip.Create(&d.okButton));
    RECT rect;
    d.okButton.GetClientRect(&rect);
    tip.AddTool(&d.okButton, "开始安装", &rect, 1);
    tools = tip.GetToolCount();
    first = tip.GetText(&d.okButton, 1);
    tip.UpdateTipText("暂停", &d.okButton, 1);
    second = tip.GetText(&d.okButton, 1);
    d.EndDialog(IDOK);
  };
  Watchdog dog(&dialog, 10000);
  dialog.DoModal();
  EXPECT_EQ(tools, 1);
  EXPECT_EQ(first, "开始安装");
  EXPECT_EQ(second, "暂停");
}

TEST(ScopedWinTest, OwnersCloseAndMove) {
  ScopedBrush brush(::CreateSolidBrush(RGB(1, 2, 3)));
  HBRUSH raw = brush.get();
  ScopedBrush moved(std::move(brush));
  EXPECT_FALSE(brush.valid());
  EXPECT_EQ(moved.get(), raw);
  moved.reset();
  LOGBRUSH info{};
  EXPECT_EQ(::GetObjectA(raw, sizeof(info), &info), 0);  // deleted

  ScopedHandle file(::CreateFileA("NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file.valid());
  ScopedHandle invalid(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(invalid.valid());
}

// The game is started as the signed-in user: through the desktop's shell where there is one,
// by ShellExecute where not. Either way it starts once, in its folder.
TEST(ShellLaunchTest, AProgramStartsInItsFolderThroughTheUsersShell) {
  const char* game = std::getenv("VANTREO_STANDIN_GAME");
  ASSERT_NE(game, nullptr) << "VANTREO_STANDIN_GAME is not set: run through ctest";
  char temp[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathA(MAX_PATH, temp), 0u);
  const std::string folder = std::string(temp) + "vantreo-shell-" +
                             std::to_string(::GetCurrentProcessId());
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
  const std::string program = folder + "\\Vantreo.exe";
  ASSERT_TRUE(::CopyFileA(game, program.c_str(), FALSE));

  ScopedCom com;
  int code = 0;
  const ShellLaunch how = OpenAsUser(program.c_str(), nullptr, folder.c_str(), SW_SHOW, &code);
  std::printf("started %s\n", how == ShellLaunch::AsUser ? "through the desktop's shell"
                                                          : "by ShellExecute from this process");
  EXPECT_NE(how, ShellLaunch::Failed);
  EXPECT_GT(code, 32);
  const std::string log = folder + "\\started.log";
  std::string text;
  for (int i = 0; i < 100 && text.empty(); ++i) {
    ::Sleep(100);
    if (std::FILE* file = std::fopen(log.c_str(), "rb")) {
      char line[512] = {};
      text = std::fgets(line, sizeof line, file) ? line : "";
      std::fclose(file);
    }
  }
  EXPECT_EQ(text, "started Vantreo.exe in " + folder + "\r\n");
  ::DeleteFileA(log.c_str());
  ::DeleteFileA(program.c_str());
  ::RemoveDirectoryA(folder.c_str());
}

}  // namespace

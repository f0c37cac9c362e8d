// The layered window host under Wine: size, styles, the fade, moves, the composite, clicks
// through the skin, GDI use, and tear-down while fading.
#include "skin/layered_window_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "skin/subclass_registry.h"
#include "tests/skin/gui_support.h"
#include "tests/skin/test_dialogs.h"

namespace skintest {
namespace {

// Every composite pushed to a skin window, recorded by a stand-in for UpdateLayeredWindow that
// the hosts pick up instead of looking the real one up.
struct Push {
  HWND window;
  int alpha;
  DWORD tick;
  bool fromFade;  // inside a message sent by another thread: the fade's synchronous paints
};
std::vector<Push> pushes;
bool keepComposite = false;
Pixels lastComposite;
bool screenshotEachFadeStep = false;
UpdateLayeredWindowFn realUpdateLayeredWindow = nullptr;

std::vector<Push> FadePushes(HWND window) {
  std::vector<Push> found;
  for (const Push& push : pushes) {
    if (push.window == window && push.fromFade) found.push_back(push);
  }
  return found;
}

std::vector<Push> PushesTo(HWND window) {
  std::vector<Push> found;
  for (const Push& push : pushes) {
    if (push.window == window) found.push_back(push);
  }
  return found;
}


BOOL WINAPI RecordingUpdateLayeredWindow(HWND window, HDC screen, POINT* destination, SIZE* size,
                                         HDC source, POINT* sourcePoint, COLORREF key,
                                         BLENDFUNCTION* blend, DWORD flags) {
  bool fromFade = ::InSendMessage() != FALSE;
  pushes.push_back({window, blend->SourceConstantAlpha, ::GetTickCount(), fromFade});
  if (keepComposite) {
    lastComposite = ReadDeviceContext(source, size->cx, size->cy);
  }
  BOOL result = realUpdateLayeredWindow(window, screen, destination, size, source, sourcePoint,
                                        key, blend, flags);
  if (screenshotEachFadeStep && fromFade) {
    char name[32];
    std::snprintf(name, sizeof(name), "fade-%d-alpha-%03d.png",
                  static_cast<int>(FadePushes(window).size()), blend->SourceConstantAlpha);
    SaveScreenshot(name);
  }
  return result;
}

// Each colour channel within `tolerance`.
bool Near(DWORD a, DWORD b, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    int difference = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (difference > tolerance || difference < -tolerance) return false;
  }
  return true;
}

RECT WindowRect(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return rect;
}

// Rectangle of a child in its parent's client coordinates.
RECT ChildRect(HWND child) {
  RECT rect = WindowRect(child);
  ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

class LayeredHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    HMODULE user32 = ::GetModuleHandleA("user32.dll");
    realUpdateLayeredWindow = reinterpret_cast<UpdateLayeredWindowFn>(
        reinterpret_cast<void*>(::GetProcAddress(user32, "UpdateLayeredWindow")));
    ASSERT_NE(realUpdateLayeredWindow, nullptr);
    pUpdateLayeredWindow = &RecordingUpdateLayeredWindow;
  }
  void SetUp() override {
    pushes.clear();
    keepComposite = false;
    screenshotEachFadeStep = false;
  }

  // Shows `dialog` and waits for the fade to finish.
  static void ShowAndFade(LayeredWindowHost& dialog) {
    dialog.ShowWindow(SW_SHOW);
    HWND skin = dialog.SkinWindow();
    ASSERT_TRUE(PumpUntil([&] { return dialog.Alpha() == 255 && FadePushes(skin).size() >= 9; },
                          5000));
    Pump(150);
  }
};

TEST_F(LayeredHostTest, TakesThePictureSizeAndShowsAsLayeredDialogWithSkinWindow) {
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ASSERT_NE(dialog.Image(), nullptr);
  EXPECT_EQ(dialog.Image()->Width(), 502u);
  EXPECT_EQ(dialog.Image()->Height(), 371u);

  RECT rect = WindowRect(dialog);
  EXPECT_EQ(rect.right - rect.left, 502);
  EXPECT_EQ(rect.bottom - rect.top, 371);

  // The dialog: layered at constant alpha 5.
  EXPECT_TRUE(dialog.GetExStyle() & WS_EX_LAYERED);
  BYTE alpha = 0;
  DWORD layeredFlags = 0;
  ASSERT_TRUE(::GetLayeredWindowAttributes(dialog, nullptr, &alpha, &layeredFlags));
  EXPECT_EQ(alpha, 5);
  EXPECT_EQ(layeredFlags, static_cast<DWORD>(LWA_ALPHA));

  // The skin window: click-through, never activated, owned by the dialog, over the same place.
  HWND skin = dialog.SkinWindow();
  ASSERT_TRUE(::IsWindow(skin));
  DWORD exStyle = static_cast<DWORD>(::GetWindowLongW(skin, GWL_EXSTYLE));
  // WS_EX_WINDOWEDGE (0x100) is asked for too, but the system drops it on a frameless popup.
  const DWORD kSkinBits = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TRANSPARENT;
  EXPECT_EQ(exStyle & kSkinBits, kSkinBits);
  DWORD style = static_cast<DWORD>(::GetWindowLongW(skin, GWL_STYLE));
  EXPECT_EQ(style & (WS_POPUP | WS_CHILD | WS_CAPTION), static_cast<DWORD>(WS_POPUP));
  EXPECT_EQ(::GetWindow(skin, GW_OWNER), dialog.m_hWnd);
  RECT skinRect = WindowRect(skin);
  EXPECT_EQ(skinRect.left, rect.left);
  EXPECT_EQ(skinRect.top, rect.top);

  // Its class: "FakeWnd", then tick count, process and thread in upper-case hex, then the
  // template id in decimal.
  char className[128] = {};
  ::GetClassNameA(skin, className, sizeof(className));
  EXPECT_EQ(dialog.SkinClassName(), className);
  char ids[64];
  std::snprintf(ids, sizeof(ids), "%lX%lX%d", ::GetCurrentProcessId(), ::GetCurrentThreadId(),
                IDD_SKIN_WIZARD_TEST);
  std::string name = className;
  ASSERT_EQ(name.rfind("FakeWnd", 0), 0u) << name;
  ASSERT_GT(name.size(), 7 + std::string(ids).size()) << name;
  EXPECT_EQ(name.substr(name.size() - std::string(ids).size()), ids) << name;
  std::string tick = name.substr(7, name.size() - 7 - std::string(ids).size());
  EXPECT_EQ(tick.find_first_not_of("0123456789ABCDEF"), std::string::npos) << name;

  // Centred once initialised (the template asks for no placement); the skin went along.
  int screenWidth = ::GetSystemMetrics(SM_CXSCREEN);
  EXPECT_NEAR(rect.left, (screenWidth - 502) / 2, 1);

  ShowAndFade(dialog);
  EXPECT_TRUE(::IsWindowVisible(skin));
  EXPECT_EQ(dialog.Alpha(), 255);
  dialog.DestroyWindow();
  EXPECT_FALSE(::IsWindow(skin));
}

TEST_F(LayeredHostTest, FadePushesExactlyNineCompositesAboutSixtyMsApartAndNeverAgain) {
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  HWND skin = dialog.SkinWindow();
  EXPECT_TRUE(FadePushes(skin).empty());
  ShowAndFade(dialog);
  Pump(300);

  std::vector<Push> fade = FadePushes(skin);
  std::vector<int> alphas;
  for (const Push& push : fade) alphas.push_back(push.alpha);
  EXPECT_EQ(alphas, (std::vector<int>{30, 60, 90, 120, 150, 180, 210, 240, 255}));
  for (size_t i = 1; i < fade.size(); ++i) {
    DWORD gap = fade[i].tick - fade[i - 1].tick;
    EXPECT_GE(gap, 45u) << "step " << i;
    EXPECT_LE(gap, 300u) << "step " << i;
  }
  // Every composite uses the alpha of the moment: the values only ever rise, and each is 0 (before
  // the fade) or one of the fade's.
  int previous = 0;
  for (const Push& push : PushesTo(skin)) {
    EXPECT_GE(push.alpha, previous);
    EXPECT_TRUE(push.alpha == 0 || push.alpha == 255 || push.alpha % 30 == 0) << push.alpha;
    previous = push.alpha;
  }

  // Hiding hides the skin; showing again shows it at full alpha without a second fade.
  dialog.ShowWindow(SW_HIDE);
  Pump(100);
  EXPECT_FALSE(::IsWindowVisible(skin));
  size_t before = pushes.size();
  dialog.ShowWindow(SW_SHOW);
  Pump(700);
  EXPECT_TRUE(::IsWindowVisible(skin));
  EXPECT_EQ(FadePushes(skin).size(), 9u);
  for (size_t i = before; i < pushes.size(); ++i) EXPECT_EQ(pushes[i].alpha, 255);
  dialog.DestroyWindow();
}

// A full-screen window of one colour: the desktop the skin's soft edges must let through.
class Backdrop {
 public:
  explicit Backdrop(COLORREF colour) : brush_(::CreateSolidBrush(colour)) {
    WNDCLASSEXA backdropClass{};
    backdropClass.cbSize = sizeof(backdropClass);
    backdropClass.lpfnWndProc = &::DefWindowProcA;
    backdropClass.hInstance = ::GetModuleHandleW(nullptr);
    backdropClass.hbrBackground = brush_.get();
    backdropClass.lpszClassName = "SkinTestBackdrop";
    ::RegisterClassExA(&backdropClass);
    window_ = ::CreateWindowExA(WS_EX_NOACTIVATE, "SkinTestBackdrop", nullptr,
                                WS_POPUP | WS_VISIBLE, 0, 0, ::GetSystemMetrics(SM_CXSCREEN),
                                ::GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
    ::UpdateWindow(window_);
  }
  ~Backdrop() {
    ::DestroyWindow(window_);
    ::UnregisterClassA("SkinTestBackdrop", ::GetModuleHandleW(nullptr));
  }

 private:
  ScopedBrush brush_;
  HWND window_;
};

TEST_F(LayeredHostTest, ScreenshotsShowTheFadeAndThePictureWithItsControls) {
  Backdrop backdrop(RGB(70, 110, 150));
  Pump(200);
  Pixels desktop = CaptureScreen();
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  screenshotEachFadeStep = true;
  ShowAndFade(dialog);
  screenshotEachFadeStep = false;
  Pump(200);
  EXPECT_TRUE(SaveScreenshot("skin-after-fade.png"));

  Pixels screen = CaptureScreen();
  RECT rect = WindowRect(dialog);
  // The picture's fully transparent corners show the desktop behind them, only dimmed by the
  // dialog's own 5/255 beneath the skin.
  EXPECT_TRUE(Near(screen.At(rect.left, rect.top), desktop.At(rect.left, rect.top), 8));
  EXPECT_TRUE(Near(screen.At(rect.right - 1, rect.bottom - 1),
                   desktop.At(rect.right - 1, rect.bottom - 1), 8));
  EXPECT_FALSE(Near(screen.At(rect.left + 250, rect.top + 100),
                    desktop.At(rect.left + 250, rect.top + 100), 8));
  // The picture itself: the bar track and the path panel's rim, where no control stands.
  EXPECT_EQ(Rgb(screen.At(rect.left + 250, rect.top + 299)), 0xE2E8F0u);
  EXPECT_EQ(Rgb(screen.At(rect.left + 20, rect.top + 276)), 0xF2F5F8u);
  // The browse button shows the normal frame of its strip, composited at its place.
  RECT browse = ChildRect(dialog.browse);
  Pixels frame = ReadBitmapRegion(dialog.browse.Strip(), 0, 0, 94, 29);
  int same = 0;
  for (int y = 0; y < 29; ++y) {
    for (int x = 0; x < 94; ++x) {
      same += Rgb(screen.At(rect.left + browse.left + x, rect.top + browse.top + y)) ==
              Rgb(frame.At(x, y));
    }
  }
  EXPECT_GT(same, 94 * 29 * 9 / 10);
  dialog.DestroyWindow();
}

TEST_F(LayeredHostTest, SkinFollowsMovesAndSizes) {
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ShowAndFade(dialog);
  HWND skin = dialog.SkinWindow();

  dialog.SetWindowPos(nullptr, 100, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  Pump(50);
  RECT skinRect = WindowRect(skin);
  EXPECT_EQ(skinRect.left, 100);
  EXPECT_EQ(skinRect.top, 50);
  EXPECT_EQ(skinRect.right - skinRect.left, 502);

  // Renders after the move land at the new place.
  size_t before = pushes.size();
  dialog.RenderSkin();
  ASSERT_GT(pushes.size(), before);
  EXPECT_EQ(WindowRect(skin).left, 100);
  dialog.DestroyWindow();
}

TEST_F(LayeredHostTest, DraggingByTheLeftButtonMovesDialogAndSkin) {
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ShowAndFade(dialog);
  ::SetForegroundWindow(dialog);
  Pump(100);
  RECT start = WindowRect(dialog);
  // An empty spot of the picture, below the path panel: the press reaches the dialog itself.
  int x = start.left + 250;
  int y = start.top + 290;
  MoveMouse(x, y);
  Pump(100);
  // The move loop runs inside the press; the rest of the drag comes from another thread.
  std::thread hand([&] {
    ::Sleep(150);
    for (int step = 1; step <= 8; ++step) {
      MoveMouse(x + step * 5, y + step * 4);
      ::Sleep(30);
    }
    ::Sleep(100);
    ReleaseLeft();
  });
  PressLeft();
  Pump(900);
  hand.join();
  Pump(200);
  RECT end = WindowRect(dialog);
  EXPECT_EQ(end.left - start.left, 40);
  EXPECT_EQ(end.top - start.top, 32);
  RECT skinRect = WindowRect(dialog.SkinWindow());
  EXPECT_EQ(skinRect.left, end.left);
  EXPECT_EQ(skinRect.top, end.top);
  dialog.DestroyWindow();
}

TEST_F(LayeredHostTest, CompositeStacksChildrenLeavesHiddenOnesOutAndDrawsTheCaretLine) {
  PlainHostDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ShowAndFade(dialog);
  keepComposite = true;
  HWND edit = dialog.GetDlgItem(IDC_EDIT);
  ::SetFocus(edit);
  Pump(100);
  dialog.RenderSkin();
  keepComposite = false;
  ASSERT_EQ(lastComposite.width, 502);
  ASSERT_EQ(lastComposite.height, 371);

  // Overlap: the label lower in the z-order (created later) lies on top.
  RECT upper = ChildRect(dialog.GetDlgItem(IDC_UPPER));
  RECT lower = ChildRect(dialog.GetDlgItem(IDC_LOWER));
  EXPECT_EQ(Rgb(lastComposite.At(upper.left + 2, upper.top + 2)), 0xC81E1Eu);
  EXPECT_EQ(Rgb(lastComposite.At(lower.left + 2, lower.top + 2)), 0x1EA03Cu);
  ASSERT_LT(lower.left, upper.right);
  EXPECT_EQ(Rgb(lastComposite.At(lower.left + 1, lower.top + 1)), 0x1EA03Cu);
  // Controls stand opaque on the picture.
  EXPECT_EQ(Alpha(lastComposite.At(upper.left + 2, upper.top + 2)), 255);

  // The hidden label is left out: the picture, fully transparent there, shows through.
  RECT hidden = ChildRect(dialog.GetDlgItem(IDC_HIDDEN));
  ASSERT_FALSE(::IsWindowVisible(dialog.GetDlgItem(IDC_HIDDEN)));
  EXPECT_EQ(Alpha(lastComposite.At(hidden.left, hidden.top)), 0);
  EXPECT_EQ(Alpha(lastComposite.At(hidden.right + 1, hidden.top)), 0);

  // The caret: a black, opaque, one-pixel line of its height at its left edge.
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(::GetGUIThreadInfo(::GetCurrentThreadId(), &info));
  ASSERT_EQ(info.hwndCaret, edit);
  POINT caret{info.rcCaret.left, info.rcCaret.top};
  ::MapWindowPoints(edit, dialog, &caret, 1);
  int height = info.rcCaret.bottom - info.rcCaret.top;
  ASSERT_GT(height, 4);
  for (int y = caret.y; y < caret.y + height; ++y) {
    EXPECT_EQ(lastComposite.At(caret.x, y), 0xFF000000u) << "row " << y;
  }
  dialog.DestroyWindow();
}

TEST_F(LayeredHostTest, ClicksGoThroughTheSkinToTheDialogAndItsControls) {
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ShowAndFade(dialog);
  RECT rect = WindowRect(dialog);
  RECT browse = WindowRect(dialog.browse);
  POINT onButton{(browse.left + browse.right) / 2, (browse.top + browse.bottom) / 2};
  POINT onPicture{rect.left + 250, rect.top + 290};
  POINT onCorner{rect.left + 1, rect.top + 1};
  EXPECT_EQ(::WindowFromPoint(onButton), dialog.browse.m_hWnd);
  EXPECT_EQ(::WindowFromPoint(onPicture), dialog.m_hWnd);
  EXPECT_EQ(::WindowFromPoint(onCorner), dialog.m_hWnd);
  dialog.DestroyWindow();
}

TEST_F(LayeredHostTest, HundredsOfRendersLeaveTheGdiObjectCountSteady) {
  ASSERT_GT(CountGdiObjects(), 0);
  WizardLikeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ShowAndFade(dialog);
  for (int i = 0; i < 20; ++i) dialog.RenderSkin();
  Pump(50);
  int before = CountGdiObjects();
  for (int i = 0; i < 200; ++i) dialog.RenderSkin();
  // Through the controls' own repaints too.
  for (int i = 0; i < 50; ++i) {
    dialog.start.Invalidate();
    dialog.manualLink.Invalidate();
    Pump(0);
  }
  int after = CountGdiObjects();
  std::printf("GDI objects of the process: %d before, %d after %zu composites\n", before, after,
              pushes.size());
  EXPECT_GE(pushes.size(), 250u);
  EXPECT_LE(after - before, 2) << before << " -> " << after;
  dialog.DestroyWindow();
}

TEST_F(LayeredHostTest, WindowDestroyedWhileFadingEndsTheFadeSafely) {
  auto dialog = std::make_unique<PlainHostDialog>();
  ASSERT_TRUE(dialog->Create());
  HWND skin = dialog->SkinWindow();
  dialog->ShowWindow(SW_SHOW);
  ASSERT_TRUE(PumpUntil([&] { return FadePushes(skin).size() >= 2; }, 3000));
  dialog->DestroyWindow();
  // Stopped, not waited out: a fade run to its end leaves the alpha at 255.
  EXPECT_LT(dialog->Alpha(), 255);
  size_t pushed = FadePushes(skin).size();
  EXPECT_LT(pushed, 9u);
  // The object goes at once; nothing of the fade may touch it afterwards.
  dialog.reset();
  Pump(800);
  EXPECT_EQ(FadePushes(skin).size(), pushed);
}

TEST_F(LayeredHostTest, HostObjectDeletedWhileFadingTakesItsWindowAndThreadAlong) {
  size_t empty = GetSubclassRegistry().Size();
  auto dialog = std::make_unique<PlainHostDialog>();
  ASSERT_TRUE(dialog->Create());
  HWND window = dialog->m_hWnd;
  HWND skin = dialog->SkinWindow();
  dialog->ShowWindow(SW_SHOW);
  ASSERT_TRUE(PumpUntil([&] { return FadePushes(skin).size() >= 3; }, 3000));
  dialog.reset();
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_FALSE(::IsWindow(skin));
  EXPECT_EQ(GetSubclassRegistry().Size(), empty);
  size_t pushed = pushes.size();
  Pump(800);
  EXPECT_EQ(pushes.size(), pushed);
}

// A procedure under the host's, on one control: it records what it sees of the chain when the
// control's last message arrives.
WNDPROC originalEditProc = nullptr;
bool sawNcDestroy = false;
bool procedureWasPutBack = false;
bool entryWasGone = false;
LRESULT CALLBACK InnerEditProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCDESTROY) {
    sawNcDestroy = true;
    procedureWasPutBack = ::GetWindowLongPtrW(window, GWLP_WNDPROC) ==
                          reinterpret_cast<LONG_PTR>(&InnerEditProc);
    SubclassEntry entry;
    entryWasGone = !GetSubclassRegistry().Find(window, &entry);
  }
  return ::CallWindowProcW(originalEditProc, window, message, wParam, lParam);
}

class InnerSubclassDialog : public PlainHostDialog {
 protected:
  BOOL OnInitDialog() override {
    HWND edit = GetDlgItem(IDC_EDIT);
    originalEditProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&InnerEditProc)));
    return PlainHostDialog::OnInitDialog();
  }
};

TEST_F(LayeredHostTest, DestroyedWindowsLeaveTheRegistryWithTheirProcedurePutBackFirst) {
  size_t empty = GetSubclassRegistry().Size();
  InnerSubclassDialog dialog;
  ASSERT_TRUE(dialog.Create());
  // The dialog and its four controls.
  EXPECT_EQ(GetSubclassRegistry().CountHost(&dialog), 5u);
  HWND edit = dialog.GetDlgItem(IDC_EDIT);
  EXPECT_EQ(::GetWindowLongPtrW(edit, GWLP_WNDPROC),
            reinterpret_cast<LONG_PTR>(&LayeredWindowHost::SkinWindowProc));

  sawNcDestroy = false;
  ::DestroyWindow(edit);
  EXPECT_TRUE(sawNcDestroy);
  EXPECT_TRUE(procedureWasPutBack);
  EXPECT_TRUE(entryWasGone);
  EXPECT_EQ(GetSubclassRegistry().CountHost(&dialog), 4u);

  ShowAndFade(dialog);
  dialog.DestroyWindow();
  EXPECT_EQ(GetSubclassRegistry().Size(), empty);
  EXPECT_EQ(GetSubclassRegistry().CountHost(&dialog), 0u);
}

TEST_F(LayeredHostTest, UndecodablePictureLeavesAnOrdinaryDialogAndPushesNothing) {
  PlainHostDialog dialog(IDB_NOT_A_PNG);
  ASSERT_TRUE(dialog.Create());
  ASSERT_NE(dialog.Image(), nullptr);
  EXPECT_EQ(dialog.Image()->Width(), 0u);
  EXPECT_EQ(dialog.SkinWindow(), nullptr);
  EXPECT_FALSE(dialog.GetExStyle() & WS_EX_LAYERED);
  RECT rect = WindowRect(dialog);
  EXPECT_GT(rect.right - rect.left, 100);  // the template's own size
  dialog.ShowWindow(SW_SHOW);
  Pump(700);
  EXPECT_TRUE(pushes.empty());
  dialog.DestroyWindow();
}

// Refuses the creation of every window of the skin windows' classes, as a system short of
// window resources would.
LRESULT CALLBACK RefuseSkinWindows(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    char className[64] = {};
    ::GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof(className));
    if (std::string(className).rfind("FakeWnd", 0) == 0) return 1;
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(LayeredHostTest, SkinWindowThatCannotBeCreatedLeavesAVisibleDialog) {
  HHOOK hook = ::SetWindowsHookExW(WH_CBT, &RefuseSkinWindows, nullptr, ::GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  PlainHostDialog dialog;
  const bool created = dialog.Create();
  ::UnhookWindowsHookEx(hook);
  ASSERT_TRUE(created);
  ASSERT_NE(dialog.Image(), nullptr);
  EXPECT_GT(dialog.Image()->Width(), 0u);
  EXPECT_EQ(dialog.SkinWindow(), nullptr);
  // Not left at alpha 5 with nothing showing in its place.
  BYTE alpha = 255;
  DWORD layeredFlags = 0;
  if (dialog.GetExStyle() & WS_EX_LAYERED) {
    ASSERT_TRUE(::GetLayeredWindowAttributes(dialog, nullptr, &alpha, &layeredFlags));
  }
  EXPECT_EQ(alpha, 255);
  dialog.ShowWindow(SW_SHOW);
  Pump(700);
  EXPECT_TRUE(pushes.empty());
  dialog.DestroyWindow();
}

}  // namespace
}  // namespace skintest

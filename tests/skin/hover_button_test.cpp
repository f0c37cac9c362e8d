// The hover button under Wine: strips and sizes, frames that follow the real pointer and press,
// and tooltips.
#include "skin/hover_button.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text_win32.h"
#include "tests/skin/gui_support.h"
#include "tests/skin/res/skin_test_ids.h"

namespace skintest {
namespace {

class ButtonDialog : public CDialog {
 public:
  ButtonDialog() : CDialog(IDD_LINK_TEST) {}
  CHoverButton hover;
  CHoverButton other;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, IDC_HOVER, hover);
    DDX_Control(dx, IDC_HOVER_OTHER, other);
  }
};

RECT ChildRect(HWND child) {
  RECT rect{};
  ::GetWindowRect(child, &rect);
  ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// Which frame of its strip the button paints right now: 0, 1, 2, or -1 for none of them.
// `besideCue`: the outline of the focus cue (three pixels inside the edge) is not compared.
int FrameShown(CHoverButton& button, bool besideCue = false) {
  Pixels shown = PrintWindowClient(button);
  for (int frame = 0; frame < 3; ++frame) {
    Pixels expected = ReadBitmapRegion(button.Strip(), frame * button.FrameWidth(), 0,
                                       button.FrameWidth(), button.FrameHeight());
    if (shown.width != expected.width || shown.height != expected.height) return -1;
    bool same = true;
    for (int y = 0; y < shown.height && same; ++y) {
      for (int x = 0; x < shown.width && same; ++x) {
        const bool onCue = x == 3 || y == 3 || x == shown.width - 4 || y == shown.height - 4;
        same = (besideCue && onCue) || Rgb(shown.At(x, y)) == Rgb(expected.At(x, y));
      }
    }
    if (same) return frame;
  }
  return -1;
}

RECT ToolRect(CHoverButton& button, std::string* text) {
  wchar_t buffer[256] = {};
  TTTOOLINFOW info{};
  info.cbSize = TTTOOLINFOW_V2_SIZE;
  info.hwnd = button.m_hWnd;
  info.uId = 1;
  info.lpszText = buffer;
  ::SendMessageW(button.Tooltip().m_hWnd, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&info));
  *text = platform::WideToUtf8(buffer);
  return info.rect;
}

class HoverButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dialog.Create());
    dialog.ShowWindow(SW_SHOW);
    ::SetForegroundWindow(dialog);
    // No focus: under Wine the focus cue always shows, and it is no frame of the strip.
    ::SetFocus(nullptr);
    Pump(100);
  }
  void TearDown() override { dialog.DestroyWindow(); }
  ButtonDialog dialog;
};

TEST_F(HoverButtonTest, CarriesItsOwnRuntimeClass) {
  EXPECT_STREQ(dialog.hover.GetRuntimeClass()->m_lpszClassName, "CHoverButton");
  EXPECT_TRUE(dialog.hover.IsKindOf(RUNTIME_CLASS(CBitmapButton)));
}

TEST_F(HoverButtonTest, LoadStripSizesToOneFrameInPlaceAndFreesTheOldStrip) {
  RECT before = ChildRect(dialog.hover);
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_MINIMIZE));
  RECT rect = ChildRect(dialog.hover);
  EXPECT_EQ(dialog.hover.FrameWidth(), 22);  // a 66-pixel strip
  EXPECT_EQ(dialog.hover.FrameHeight(), 21);
  EXPECT_EQ(rect.right - rect.left, 22);
  EXPECT_EQ(rect.bottom - rect.top, 21);
  EXPECT_EQ(rect.left, before.left);
  EXPECT_EQ(rect.top, before.top);

  HBITMAP old = dialog.hover.Strip();
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_BROWSE));
  EXPECT_EQ(::GetObjectType(old), 0u);  // freed
  rect = ChildRect(dialog.hover);
  EXPECT_EQ(rect.right - rect.left, 94);
  EXPECT_EQ(rect.bottom - rect.top, 29);
  EXPECT_EQ(rect.left, before.left);
  EXPECT_EQ(FrameShown(dialog.hover), 0);

  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_START));
  EXPECT_EQ(dialog.hover.FrameWidth(), 89);
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_AGREE_ON));
  EXPECT_EQ(dialog.hover.FrameWidth(), 25);
}

TEST_F(HoverButtonTest, FocusedWithCuesShownItDrawsTheCueOverItsFrame) {
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_BROWSE));
  ::SetFocus(dialog.hover);
  Pump(100);
  if (::SendMessageW(dialog.hover, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS) {
    EXPECT_EQ(FrameShown(dialog.hover), 0);
  } else {
    EXPECT_EQ(FrameShown(dialog.hover), -1);
    Pixels shown = PrintWindowClient(dialog.hover);
    Pixels frame = ReadBitmapRegion(dialog.hover.Strip(), 0, 0, 94, 29);
    // A dotted outline three pixels inside the edge; the frame everywhere else.
    int onOutline = 0;
    for (int y = 0; y < 29; ++y) {
      for (int x = 0; x < 94; ++x) {
        if (Rgb(shown.At(x, y)) == Rgb(frame.At(x, y))) continue;
        ASSERT_TRUE(x == 3 || x == 90 || y == 3 || y == 25) << x << "," << y;
        ++onOutline;
      }
    }
    EXPECT_GT(onOutline, 50);
  }
  ::SetFocus(dialog.other);
  Pump(100);
  EXPECT_EQ(FrameShown(dialog.hover), 0);
}

TEST_F(HoverButtonTest, WidthNotAMultipleOfThreeDropsTheLastColumns) {
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_STRIP68));
  EXPECT_EQ(dialog.hover.FrameWidth(), 22);
  EXPECT_EQ(dialog.hover.FrameHeight(), 10);
  Pixels shown = PrintWindowClient(dialog.hover);
  ASSERT_EQ(shown.width, 22);
  EXPECT_EQ(Rgb(shown.At(0, 0)), 0xDC2828u);   // first frame, red
  EXPECT_EQ(Rgb(shown.At(21, 9)), 0xDC2828u);  // its last column, still red
  ::SendMessageW(dialog.hover, BM_SETSTATE, TRUE, 0);
  shown = PrintWindowClient(dialog.hover);
  EXPECT_EQ(Rgb(shown.At(21, 0)), 0x2846DCu);  // pressed: the third frame, no stray white
}

TEST_F(HoverButtonTest, BitmapThatCannotBeLoadedKeepsStripAndSize) {
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_MINIMIZE));
  HBITMAP strip = dialog.hover.Strip();
  EXPECT_FALSE(dialog.hover.LoadStrip(9999));
  EXPECT_EQ(dialog.hover.Strip(), strip);
  EXPECT_EQ(::GetObjectType(strip), static_cast<DWORD>(OBJ_BITMAP));
  EXPECT_EQ(dialog.hover.FrameWidth(), 22);
  RECT rect = ChildRect(dialog.hover);
  EXPECT_EQ(rect.right - rect.left, 22);
  EXPECT_EQ(FrameShown(dialog.hover), 0);
}

TEST_F(HoverButtonTest, FramesFollowThePointerRestingPressingAndLeaving) {
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_CLOSE));
  dialog.hover.SetTip("关闭", TRUE);
  RECT rect;
  dialog.hover.GetWindowRect(&rect);
  EXPECT_EQ(FrameShown(dialog.hover), 0);

  MoveMouse((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  ASSERT_TRUE(PumpUntil([&] { return dialog.hover.IsHovering() != FALSE; }, 2000));
  EXPECT_TRUE(dialog.hover.IsTracking());
  Pump(50);
  EXPECT_EQ(FrameShown(dialog.hover), 1);

  // The tooltip comes up after a while of resting, with the text set.
  HWND tip = dialog.hover.Tooltip().m_hWnd;
  EXPECT_TRUE(PumpUntil([&] { return ::IsWindowVisible(tip) != FALSE; }, 3000));
  SaveScreenshot("hover-button-tooltip.png");

  // The press takes the focus: where cues always show (Wine), the cue is drawn over the frame.
  PressLeft();
  Pump(100);
  EXPECT_EQ(FrameShown(dialog.hover, true), 2);  // pressed wins over hover
  ReleaseLeft();
  Pump(100);
  EXPECT_EQ(FrameShown(dialog.hover, true), 1);

  MoveMouse(rect.right + 150, rect.bottom + 150);
  ASSERT_TRUE(PumpUntil([&] { return dialog.hover.IsHovering() == FALSE; }, 2000));
  Pump(50);
  EXPECT_FALSE(dialog.hover.IsTracking());
  EXPECT_EQ(FrameShown(dialog.hover, true), 0);
}

TEST_F(HoverButtonTest, PressedStateShowsThePressedFrameWithoutHover) {
  ASSERT_TRUE(dialog.other.LoadStrip(IDB_MINIMIZE));
  EXPECT_EQ(FrameShown(dialog.other), 0);
  ::SendMessageW(dialog.other, BM_SETSTATE, TRUE, 0);
  EXPECT_EQ(FrameShown(dialog.other), 2);
  ::SendMessageW(dialog.other, BM_SETSTATE, FALSE, 0);
  EXPECT_EQ(FrameShown(dialog.other), 0);
}

TEST_F(HoverButtonTest, SecondSetTipChangesTheTextButKeepsTheFirstRectangle) {
  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_MINIMIZE));
  dialog.hover.SetTip("最小化", TRUE);
  std::string text;
  RECT first = ToolRect(dialog.hover, &text);
  EXPECT_EQ(text, "最小化");
  EXPECT_EQ(first.right - first.left, 22);
  EXPECT_EQ(first.bottom - first.top, 21);

  ASSERT_TRUE(dialog.hover.LoadStrip(IDB_BROWSE));
  dialog.hover.SetTip("浏览", FALSE);
  RECT second = ToolRect(dialog.hover, &text);
  EXPECT_EQ(text, "浏览");
  EXPECT_TRUE(::EqualRect(&first, &second));
  EXPECT_EQ(dialog.hover.Tooltip().GetToolCount(), 1);
}

TEST_F(HoverButtonTest, NullTipDoesNothingAndMessagesBringAnInactiveEmptyTooltip) {
  // The dialog's messages have been through the button's PreTranslateMessage already.
  dialog.other.SetTip(nullptr, TRUE);
  RECT rect;
  dialog.other.GetWindowRect(&rect);
  MoveMouse(rect.left + 3, rect.top + 3);
  ASSERT_TRUE(PumpUntil([&] { return dialog.other.Tooltip().m_hWnd != nullptr; }, 2000));
  EXPECT_EQ(dialog.other.Tooltip().GetToolCount(), 0);
  MoveMouse(rect.right + 150, rect.bottom + 150);
  Pump(100);
}

}  // namespace
}  // namespace skintest

// The wizard in this process, told that it was moved to a monitor of another density. Wine
// never sends WM_DPICHANGED (its monitors share one density), so the test sends it, with the
// place the system would suggest; the install itself is not started.
#include "wizard/install_wizard_dialog.h"

#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/skin/gui_support.h"

namespace {

struct Place {
  int id;
  POINT at;  // at 96 dpi
  SIZE size;
};
// Each button where its frames were cut from the picture, at 100 %.
constexpr Place kButtons[] = {{IDC_MINIMIZE, {442, 13}, {22, 21}},
                              {IDC_CLOSE, {469, 13}, {22, 21}},
                              {IDOK, {397, 324}, {89, 24}},
                              {IDC_AGREE, {22, 329}, {25, 21}},
                              {IDC_BROWSE, {395, 251}, {94, 29}}};

RECT ChildRect(HWND dialog, int id) {
  RECT rect{};
  ::GetWindowRect(::GetDlgItem(dialog, id), &rect);
  ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

int Scaled(int length, UINT dpi) { return ::MulDiv(length, static_cast<int>(dpi), 96); }

// The window at the suggested place, as large as the picture at `dpi`, the skin window over
// it, every button at its scaled place with its scaled size.
void ExpectLaidOutFor(InstallWizardDialog& wizard, UINT dpi, POINT origin) {
  RECT window{};
  ::GetWindowRect(wizard.m_hWnd, &window);
  EXPECT_EQ(window.left, origin.x);
  EXPECT_EQ(window.top, origin.y);
  EXPECT_EQ(window.right - window.left, Scaled(502, dpi)) << dpi;
  EXPECT_EQ(window.bottom - window.top, Scaled(371, dpi)) << dpi;
  RECT skin{};
  ::GetWindowRect(wizard.SkinWindow(), &skin);
  EXPECT_TRUE(::EqualRect(&skin, &window)) << dpi;
  for (const Place& button : kButtons) {
    const RECT rect = ChildRect(wizard.m_hWnd, button.id);
    EXPECT_EQ(rect.left, Scaled(button.at.x, dpi)) << button.id << " at " << dpi;
    EXPECT_EQ(rect.top, Scaled(button.at.y, dpi)) << button.id << " at " << dpi;
    EXPECT_NEAR(rect.right - rect.left, Scaled(button.size.cx, dpi), 1) << button.id;
    EXPECT_NEAR(rect.bottom - rect.top, Scaled(button.size.cy, dpi), 1) << button.id;
  }
  // Before the install the bar's left end stays out of sight, whatever its new size.
  const RECT cap = ChildRect(wizard.m_hWnd, IDC_BAR_CAP);
  EXPECT_LE(cap.right, 0) << dpi;
  EXPECT_LE(cap.bottom, 0) << dpi;
}

TEST(WizardDensity, FollowsMovesBetweenMonitorsOfOtherDensities) {
  InstallWizardDialog wizard;
  ASSERT_TRUE(wizard.Create(IDD_INSTALL_WIZARD));
  skintest::Pump(200);
  RECT start{};
  ::GetWindowRect(wizard.m_hWnd, &start);
  ExpectLaidOutFor(wizard, 96, {start.left, start.top});

  // 120 dpi has no art of its own: the 150 % set, reduced.
  for (UINT dpi : {144u, 192u, 120u, 96u}) {
    const POINT origin{40, 30};
    RECT suggested{origin.x, origin.y, origin.x + Scaled(502, dpi), origin.y + Scaled(371, dpi)};
    wizard.SendMessage(WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    skintest::Pump(100);
    ExpectLaidOutFor(wizard, dpi, origin);
  }
  wizard.DestroyWindow();
}

}  // namespace

// Host dialogs for the skin tests: the installer wizard's template dressed the way the wizard
// dresses it (strips, links, colours), and a small host with overlapping labels, an edit box and
// a hidden label.
#pragma once

#include "mfc/afxwin.h"
#include "skin/hover_button.h"
#include "skin/hyperlink_static.h"
#include "skin/layered_window_host.h"
#include "tests/skin/res/skin_test_ids.h"

namespace skintest {

constexpr COLORREF kPanelColour = RGB(242, 245, 248);
constexpr COLORREF kLinkPanelColour = RGB(247, 249, 251);
constexpr COLORREF kUpperColour = RGB(200, 30, 30);
constexpr COLORREF kLowerColour = RGB(30, 160, 60);

class WizardLikeDialog : public LayeredWindowHost {
 public:
  WizardLikeDialog()
      : LayeredWindowHost(IDD_SKIN_WIZARD_TEST, IDB_SKIN, L"IMG", nullptr, nullptr) {}

  CHoverButton start, close, minimize, agree, browse;
  HyperLinkStatic termsLink, manualLink;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, IDC_TERMS_LINK, termsLink);
    DDX_Control(dx, IDC_MANUAL_LINK, manualLink);
    DDX_Control(dx, IDC_MINIMIZE, minimize);
    DDX_Control(dx, IDC_CLOSE, close);
    DDX_Control(dx, IDOK, start);
    DDX_Control(dx, IDC_AGREE, agree);
    DDX_Control(dx, IDC_BROWSE, browse);
  }

  BOOL OnInitDialog() override {
    PlaceAsOnChineseWindows();
    LayeredWindowHost::OnInitDialog();
    RECT window;
    GetWindowRect(&window);
    Dress(minimize, IDB_MINIMIZE, "最小化", window, -1, -1);
    Dress(close, IDB_CLOSE, "关闭", window, -1, -1);
    Dress(start, IDB_START, "开始安装", window, 1, 0);
    Dress(agree, IDB_AGREE_ON, "同意", window, -1, 0);
    Dress(browse, IDB_BROWSE, "浏览", window, 0, 0);
    termsLink.SetLink("http://127.0.0.1/");
    manualLink.SetLink("http://127.0.0.1/qipai/VantreoSetup.exe");
    return TRUE;
  }

  HBRUSH OnCtlColor(HDC dc, HWND control, UINT ctlColor) override {
    HBRUSH brush = LayeredWindowHost::OnCtlColor(dc, control, ctlColor);
    switch (::GetDlgCtrlID(control)) {
      case IDC_STATUS:
      case IDC_PATH:
        ::SetBkColor(dc, kPanelColour);
        return panelBrush_.get();
      case IDC_MANUAL_LINK:
        ::SetBkColor(dc, kLinkPanelColour);
        ::SetTextColor(dc, RGB(0, 0, 255));
        return linkPanelBrush_.get();
      default:
        return brush;
    }
  }

 private:
  // Strip, tooltip, and a nudge relative to the window, as the wizard does.
  void Dress(CHoverButton& button, UINT strip, const char* tip, const RECT& window, int dx,
             int dy) {
    button.LoadStrip(strip);
    button.SetTip(tip, TRUE);
    RECT rect;
    button.GetWindowRect(&rect);
    button.MoveWindow(rect.left - window.left + dx, rect.top - window.top + dy,
                      rect.right - rect.left, rect.bottom - rect.top);
  }

  // The art is drawn for the template's font as a Chinese Windows has it (SimSun 9 pt: 1.5 pixels
  // per dialog unit each way). Wine substitutes a font with other base units, which would put
  // the controls elsewhere on the picture; put them back where that Windows has them.
  void PlaceAsOnChineseWindows() {
    RECT unit{0, 0, 400, 800};
    ::MapDialogRect(m_hWnd, &unit);
    double scaleX = 1.5 * 400 / unit.right;
    double scaleY = 1.5 * 800 / unit.bottom;
    for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
      RECT rect;
      ::GetWindowRect(child, &rect);
      ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rect), 2);
      auto scale = [](LONG value, double factor) { return static_cast<int>(value * factor + 0.5); };
      ::MoveWindow(child, scale(rect.left, scaleX), scale(rect.top, scaleY),
                   scale(rect.right - rect.left, scaleX), scale(rect.bottom - rect.top, scaleY),
                   FALSE);
    }
  }

  ScopedBrush panelBrush_{::CreateSolidBrush(kPanelColour)};
  ScopedBrush linkPanelBrush_{::CreateSolidBrush(kLinkPanelColour)};
};

class PlainHostDialog : public LayeredWindowHost {
 public:
  explicit PlainHostDialog(UINT imageId = IDB_SKIN)
      : LayeredWindowHost(IDD_SKIN_PLAIN_TEST, imageId, L"IMG", nullptr, nullptr) {}

 protected:
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT ctlColor) override {
    HBRUSH brush = LayeredWindowHost::OnCtlColor(dc, control, ctlColor);
    switch (::GetDlgCtrlID(control)) {
      case IDC_UPPER:
        ::SetBkColor(dc, kUpperColour);
        return upperBrush_.get();
      case IDC_LOWER:
        ::SetBkColor(dc, kLowerColour);
        return lowerBrush_.get();
      default:
        return brush;
    }
  }

 private:
  ScopedBrush upperBrush_{::CreateSolidBrush(kUpperColour)};
  ScopedBrush lowerBrush_{::CreateSolidBrush(kLowerColour)};
};

}  // namespace skintest

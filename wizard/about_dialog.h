// The About box, opened from the wizard's system menu: the program's name and version, and
// where its log is written.
#pragma once

#include "mfc/afxwin.h"
#include "res/resource.h"
#include "skin/dpi_scale.h"
#include "skin/text_font.h"
#include "tasks/install_log.h"

class AboutDialog : public CDialog {
 public:
  explicit AboutDialog(CWnd* parent = nullptr) : CDialog(IDD_ABOUT, parent) {}

  // Runs as the box opens.
  BOOL OnInitDialog() override {
    const std::string log = install_log::Path();
    SetDlgItemText(IDC_LOG_PATH, log.empty() ? "" : ("日志：" + log).c_str());
    // The texts in the wizard's font: the template's may be missing, its stand-in without
    // Chinese glyphs.
    font = CreateChineseFont(kTextPoints, WindowDpi(m_hWnd));
    if (font.valid()) {
      for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child;
           child = ::GetWindow(child, GW_HWNDNEXT)) {
        ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
      }
    }
    return CDialog::OnInitDialog();
  }

 private:
  ScopedFont font;  // outlives the controls: the box's children go with the box
};

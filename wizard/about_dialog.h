// The About box, opened from the wizard's system menu: the program's name and version, and
// where its log is written.
#pragma once

#include "mfc/afxwin.h"
#include "res/resource.h"
#include "tasks/install_log.h"

class AboutDialog : public CDialog {
 public:
  explicit AboutDialog(CWnd* parent = nullptr) : CDialog(IDD_ABOUT, parent) {}

  // Runs as the box opens.
  BOOL OnInitDialog() override {
    const std::string log = install_log::Path();
    SetDlgItemText(IDC_LOG_PATH, log.empty() ? "" : ("日志：" + log).c_str());
    return CDialog::OnInitDialog();
  }
};

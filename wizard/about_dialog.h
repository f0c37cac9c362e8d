// The About box, opened from the wizard's system menu: the program's name and version.
#pragma once

#include "mfc/afxwin.h"
#include "res/resource.h"

class AboutDialog : public CDialog {
 public:
  explicit AboutDialog(CWnd* parent = nullptr) : CDialog(IDD_ABOUT, parent) {}
};

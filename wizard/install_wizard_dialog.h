// The install wizard on template 102. For now a plain dialog without skin that proposes the
// install folder; the skinned wizard with the install workflow takes its place.
#pragma once

#include <string>

#include "mfc/dialog.h"

class InstallWizardDialog : public CDialog {
 public:
  explicit InstallWizardDialog(CWnd* parent = nullptr);

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  // Reads the install folder from the settings key, or proposes and stores the default one,
  // and shows it in IDC_PATH.
  BOOL OnInitDialog() override;

 private:
  std::string installFolder;
};

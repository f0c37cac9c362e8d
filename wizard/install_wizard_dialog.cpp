#include "wizard/install_wizard_dialog.h"

#include "app/install_settings.h"
#include "res/resource.h"

namespace {
const char* const kWizardTitle = "Lumeo棋牌 - 安装向导";
}

InstallWizardDialog::InstallWizardDialog(CWnd* parent) : CDialog(IDD_INSTALL_WIZARD, parent) {}

void InstallWizardDialog::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, IDC_PATH, installFolder);
}

BOOL InstallWizardDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SetWindowText(kWizardTitle);  // shows on the taskbar button
  if (!InstallSettings::ReadInstallFolder(installFolder)) {
    installFolder = InstallSettings::DefaultInstallFolder();
    InstallSettings::WriteInstallFolder(installFolder);
  }
  UpdateData(FALSE);
  return TRUE;
}

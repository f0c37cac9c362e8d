#include "wizard/setup_install.h"

#include <windows.h>

#include "app/install_settings.h"
#include "mfc/scoped_win.h"
#include "mfc/shell_launch.h"
#include "platform/private_folder.h"
#include "tasks/install_log.h"
#include "wizard/deployment_urls.h"

namespace {

// A program of the install folder. A path longer than MAX_PATH is not cut (a cut path names
// another file): nothing is started then.
void StartInstalledProgram(const std::string& folder, const char* program) {
  const std::string path = folder + program;
  if (path.size() >= MAX_PATH) {
    install_log::Writef("LAUNCH", "%s failed: the path is too long", path.c_str());
    return;
  }
  // As the signed-in user: the installer's administrator rights are not the game's.
  int code = 0;
  const ShellLaunch how = OpenAsUser(path.c_str(), nullptr, folder.c_str(), SW_SHOW, &code);
  install_log::Writef("LAUNCH", "%s %s", path.c_str(),
                      how == ShellLaunch::AsUser     ? "as the signed-in user"
                      : how == ShellLaunch::Elevated ? "with the installer's rights"
                                                     : "failed");
}

}  // namespace

void QueueSetupProgram(DownloadTask& task) {
  // An https deployment accepts only the roots it was built with, when it names any.
  task.SetPinnedRoots(kTlsRoots);
  task.AddItem(kDownloadUrl, std::string(), kExpectedSetupSize, 1, kSetupArguments);
}

void CleanUpAfterSetup(DownloadTask& task) {
  task.DeletePartFiles();
  if (platform::ProcessIsElevated()) task.DeleteDownloadedFiles();
}

void StartInstalledPrograms(const std::string& folder) {
  ScopedCom com;
  StartInstalledProgram(folder, InstallSettings::kGameProgram);
  StartInstalledProgram(folder, InstallSettings::kCompanionProgram);
}

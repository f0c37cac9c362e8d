#include "wizard/setup_install.h"

#include <windows.h>

#include "app/install_settings.h"
#include "mfc/scoped_win.h"
#include "mfc/shell_launch.h"
#include "platform/private_folder.h"
#include "platform/text_win32.h"
#include "tasks/install_log.h"
#include "wizard/deployment_urls.h"

namespace {

// A program of the install folder; false when it could not be started. A path longer than
// MAX_PATH is not cut (a cut path names another file): nothing is started then.
bool StartInstalledProgram(const std::string& folder, const char* program) {
  const std::string path = folder + program;
  if (platform::Utf8ToWide(path).size() >= MAX_PATH) {
    install_log::Writef("LAUNCH", "%s failed: the path is too long", path.c_str());
    return false;
  }
  // The desktop's shell takes a start and reports nothing back, not even a missing file: a
  // program the setup program left out (or a scanner took away) is found missing here.
  const DWORD attributes = ::GetFileAttributesW(platform::Utf8ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    install_log::Writef("LAUNCH", "%s failed: the program is missing", path.c_str());
    return false;
  }
  // As the signed-in user: the installer's administrator rights are not the game's.
  int code = 0;
  const ShellLaunch how = OpenAsUser(path.c_str(), nullptr, folder.c_str(), SW_SHOW, &code);
  install_log::Writef("LAUNCH", "%s %s", path.c_str(),
                      how == ShellLaunch::AsUser     ? "as the signed-in user"
                      : how == ShellLaunch::Elevated ? "with the installer's rights"
                                                     : "failed");
  return how != ShellLaunch::Failed;
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

bool StartInstalledPrograms(const std::string& folder) {
  ScopedCom com;
  const bool game = StartInstalledProgram(folder, InstallSettings::kGameProgram);
  const bool companion = StartInstalledProgram(folder, InstallSettings::kCompanionProgram);
  return game && companion;
}

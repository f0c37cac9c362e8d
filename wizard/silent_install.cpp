#include "wizard/silent_install.h"

#include <windows.h>

#include <string>

#include "app/install_settings.h"
#include "app/lobby_check.h"
#include "platform/program_check.h"
#include "tasks/download_task.h"
#include "tasks/install_log.h"
#include "tasks/url_utils.h"
#include "wizard/setup_install.h"

namespace {

// How often the finished test looks at the task: it only decides when the process ends.
constexpr DWORD kTaskPollMs = 250;

ExitCode End(ExitCode code, const std::string& why) {
  install_log::Writef("END", "exit code %d: %s", static_cast<int>(code), why.c_str());
  return code;
}

// A folder as given, in the form the settings key keeps: double backslashes collapsed, no
// backslash at the end but a drive root's.
std::string TidyFolder(std::string folder) {
  CollapseDoubleBackslashes(folder);
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

// The install folder: the one given, else the stored one, else the proposed one. Stored in the
// settings key unless it came from there, as the wizard stores it: the setup program installs
// where the key says. False, with the reason, when it cannot be used or cannot be stored.
bool ChooseFolder(const CommandLine& commandLine, std::string& folder, std::string& why) {
  bool stored = false;
  if (commandLine.folderGiven) {
    folder = TidyFolder(commandLine.folder);
  } else {
    stored = InstallSettings::ReadInstallFolder(folder);
    if (!stored) folder = InstallSettings::DefaultInstallFolder();
  }
  const InstallSettings::FolderProblem problem = InstallSettings::CheckInstallFolder(folder);
  if (problem != InstallSettings::FolderProblem::None) {
    why = "the folder \"" + folder + "\" is " + InstallSettings::FolderProblemText(problem);
    return false;
  }
  if (stored) return true;
  InstallSettings::WriteInstallFolder(folder);
  std::string readBack;
  if (!InstallSettings::ReadInstallFolder(readBack) || readBack != folder) {
    why = "the folder \"" + folder + "\" could not be stored in the settings key";
    return false;
  }
  return true;
}

// The outcome of a task whose worker has ended.
ExitCode Outcome(DownloadTask& task, const CommandLine& commandLine, const std::string& folder) {
  if (!task.IsFinished()) {
    task.DeletePartFiles();
    const platform::ProgramCheck refusal = task.GetRefusal();
    if (refusal != platform::ProgramCheck::Ok) {
      return End(ExitCode::ProgramRefused, std::string("the downloaded program was refused: ") +
                                               platform::ProgramCheckText(refusal));
    }
    const DownloadError why = task.LastError();
    // A full disk and a file taken away by security software are the user's to mend.
    if (why.kind == DownloadErrorKind::DiskFull)
      return End(ExitCode::NoDiskSpace, "not enough disk space: " + why.reason);
    if (why.kind == DownloadErrorKind::Quarantined)
      return End(ExitCode::BlockedBySecurity,
                 "the downloaded file was taken away by security software: " + why.reason);
    return End(ExitCode::DownloadFailed,
               "the setup program could not be downloaded" +
                   (why.Failed() ? ": " + why.reason : std::string()));
  }
  CleanUpAfterSetup(task);
  const uint32_t setupExit = task.GetProgramExitCode();
  if (setupExit != 0) {
    return End(ExitCode::SetupFailed,
               "the setup program failed with exit code " + std::to_string(setupExit));
  }
  if (commandLine.noLaunch) {
    install_log::Write("STEP", "installed; the game is not started (/NOLAUNCH)");
  } else {
    install_log::Write("STEP", "installed; starting the game");
    // A script told 0 counts on a running game: a start that failed has its own answer.
    if (!StartInstalledPrograms(folder)) {
      return End(ExitCode::GameNotStarted,
                 "installed into " + folder + ", but the game could not be started");
    }
  }
  return End(ExitCode::Installed, "installed into " + folder);
}

}  // namespace

ExitCode RunSilentInstall(const CommandLine& commandLine) {
  install_log::Write("STEP", "install without a window");
  // Closing the user's lobby unasked could lose a game in progress: the script decides.
  if (FindRunningLobby()) return End(ExitCode::LobbyRunning, "the lobby is running and stays");

  std::string folder;
  std::string why;
  if (!ChooseFolder(commandLine, folder, why)) return End(ExitCode::FolderNotUsable, why);

  install_log::Write("STEP", "install started into " + folder);
  DownloadTask task(kSegmentsPerFile);
  QueueSetupProgram(task);
  task.Start();
  // Nothing here can stop the install: the task decides when it ends.
  while (task.IsRunning()) ::Sleep(kTaskPollMs);
  return Outcome(task, commandLine, folder);
}

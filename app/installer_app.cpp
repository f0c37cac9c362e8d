#include "app/installer_app.h"

#include "app/command_line.h"
#include "app/gdiplus_session.h"
#include "app/lobby_check.h"

#include <cstdio>
#include <string>

#include "platform/private_folder.h"
#include "platform/text_win32.h"
#include "product_version.h"
#include "tasks/install_log.h"
#include "download/socket_layer.h"
#ifdef VANTREO_WITH_SKIN
#include "skin/subclass_registry.h"
#endif
#include "wizard/install_wizard_dialog.h"
#include "wizard/silent_install.h"

const char* const kOneInstanceText = "对不起,只能运行一个安装实例！";
const char* const kInstanceMutexName = "VantreodInstaller";

// Process start-up and shut-down: these objects are constructed in this order before the
// framework runs InitInstance, and destroyed in reverse order after it. None of them loads a
// DLL: that waits until the search for DLLs is limited to System32 (see WinMain).
InstallerApp theApp;
#ifdef VANTREO_WITH_SKIN
// The layered windows' subclass registry, made here so that it outlives GDI+ and the sockets.
SubclassRegistry& subclassRegistry = GetSubclassRegistry();
#endif

namespace {

// The running Windows' version as the system gives it to itself (GetVersionEx answers what a
// program's manifest claims to know).
std::string WindowsVersion() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto get = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (get == nullptr || get(&info) != 0) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu", info.dwMajorVersion, info.dwMinorVersion,
                info.dwBuildNumber);
  return text;
}

// Opens the log where `/LOG=` says, else (or when that file cannot be written) at its default
// place, and records the start.
void LogStart(const CommandLine& commandLine, const std::string& arguments) {
  const bool opened = !commandLine.logPath.empty() && install_log::Open(commandLine.logPath);
  if (!opened) install_log::Open();
  install_log::Writef("START", "%s %s, Windows %s, code page %u, %s", VANTREO_ORIGINAL_FILENAME,
                      VANTREO_PRODUCT_VERSION, WindowsVersion().c_str(), ::GetACP(),
                      platform::ProcessIsElevated() ? "elevated" : "not elevated");
  if (arguments.find_first_not_of(" \t") != std::string::npos) {
    install_log::Write("STEP", "command line:" + arguments);
  }
  if (!commandLine.logPath.empty() && !opened) {
    install_log::Write("FAIL", "the log cannot be written at " + commandLine.logPath);
  }
}

ExitCode EndWith(ExitCode code, const char* why) {
  install_log::Writef("END", "exit code %d: %s", static_cast<int>(code), why);
  return code;
}

}  // namespace

BOOL InstallerApp::InitInstance() {
  AfxEnableControlContainer();
  const std::string arguments = ArgumentsOf(platform::WideToUtf8(::GetCommandLineW()));
  const CommandLine commandLine = ParseCommandLine(arguments);
  LogStart(commandLine, arguments);
  // A command line that is not understood starts nothing: a script must not install by guess.
  if (commandLine.error != CommandLineError::None) {
    exitCode_ = EndWith(ExitCode::BadCommandLine, DescribeError(commandLine).c_str());
    return FALSE;
  }
  // Loads a DLL of the system, so it starts here, not in a static constructor.
  SocketLayer socketLayer;  // Winsock 1.1

  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, platform::Utf8ToWide(kInstanceMutexName).c_str());
  const bool alreadyRunning = mutex && ::GetLastError() == ERROR_ALREADY_EXISTS;
  instanceMutex_.reset(mutex);
  if (alreadyRunning) {
    const ExitCode code = EndWith(ExitCode::AnotherCopy, "another installer is running");
    // The exit codes are the silent run's; the wizard ends with 0 on every path.
    if (commandLine.silent) {
      exitCode_ = code;
    } else {
      AfxMessageBox(kOneInstanceText, MB_OK | MB_ICONEXCLAMATION);
    }
    return FALSE;
  }
  // Without a mutex (creation failed) the installer runs as if it were the only one.

  if (commandLine.silent) {
    exitCode_ = RunSilentInstall(commandLine);
    return FALSE;
  }
  if (!CheckRunningLobby()) {
    install_log::Write("END", "the lobby is running and stays");
    return FALSE;
  }

  GdiplusSession gdiplusSession;  // the skin's pictures need GDI+ until the wizard is gone
  InstallWizardDialog wizard;
  m_pMainWnd = &wizard;
  wizard.DoModal();
  install_log::Write("END", "the wizard has closed");
  return FALSE;
}

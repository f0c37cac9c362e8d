#include "app/installer_app.h"

#include "app/gdiplus_session.h"
#include "app/lobby_check.h"
#include "download/socket_layer.h"
#ifdef VANTREO_WITH_SKIN
#include "skin/subclass_registry.h"
#endif
#include "wizard/install_wizard_dialog.h"

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

BOOL InstallerApp::InitInstance() {
  AfxEnableControlContainer();
  // Both load DLLs of the system, so they start here, not in static constructors.
  SocketLayer socketLayer;        // Winsock 1.1
  GdiplusSession gdiplusSession;  // the skin's pictures need GDI+ until the wizard is gone

  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, kInstanceMutexName);
  const bool alreadyRunning = mutex && ::GetLastError() == ERROR_ALREADY_EXISTS;
  instanceMutex_.reset(mutex);
  if (alreadyRunning) {
    AfxMessageBox(kOneInstanceText, MB_OK | MB_ICONEXCLAMATION);
    return FALSE;
  }
  // Without a mutex (creation failed) the installer runs as if it were the only one.

  if (!CheckRunningLobby()) return FALSE;

  InstallWizardDialog wizard;
  m_pMainWnd = &wizard;
  wizard.DoModal();
  return FALSE;
}

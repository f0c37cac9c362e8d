#include "app/lobby_check.h"

#include <windows.h>

#include "app/install_settings.h"
#include "app/reg_key.h"
#include "mfc/winapp.h"
#include "platform/text_win32.h"

const char* const kLobbyRunningText = "Lumeo游戏大厅正在运行，是否要重新安装?";

namespace {

// The top-level window whose class the value `valueName` names, or null when the value does
// not read as a non-empty string or no such window exists.
HWND FindRecordedWindow(RegKey& key, const char* valueName) {
  char className[InstallSettings::kStringBytes] = {};
  DWORD bytes = sizeof(className);
  key.ReadString(valueName, className, &bytes);
  if (bytes == 0 || className[0] == '\0') return nullptr;  // absent or empty
  return ::FindWindowW(platform::Utf8ToWide(className).c_str(), nullptr);
}

}  // namespace

HWND FindRunningLobby() {
  RegKey key;
  if (key.Open(HKEY_CURRENT_USER, InstallSettings::kKeyPath, KEY_READ) != ERROR_SUCCESS) {
    return nullptr;
  }
  // The launcher first; the lobby only when no launcher window runs.
  HWND lobby = FindRecordedWindow(key, InstallSettings::kLauncherClassValue);
  return lobby ? lobby : FindRecordedWindow(key, InstallSettings::kPlazaClassValue);
}

bool CheckRunningLobby() {
  HWND lobby = FindRunningLobby();
  if (!lobby) return true;

  if (AfxMessageBox(kLobbyRunningText, MB_YESNO | MB_ICONQUESTION) != IDYES) {
    ::PostMessageW(lobby, WM_SHOWWINDOW, TRUE, 0);
    return false;
  }
  // Not waited for: the wizard opens whether or not the lobby has closed yet.
  ::PostMessageW(lobby, WM_CLOSE, 0, 0);
  return true;
}

// The application object: one installer at a time, the lobby check, then the wizard.
#pragma once

#include "app/command_line.h"
#include "mfc/scoped_win.h"
#include "mfc/winapp.h"

// Shown when another installer holds the instance mutex.
extern const char* const kOneInstanceText;
// The name of the single-instance mutex.
extern const char* const kInstanceMutexName;

class InstallerApp : public CWinApp {
 public:
  // Applies the single-instance rule and the lobby check, then runs the wizard modally.
  // Returns FALSE on every path, so the process ends when the wizard has closed.
  BOOL InitInstance() override;
  // The exit code InitInstance settled on (see ExitCode); 0 for the wizard on every path.
  int ExitInstance() override { return static_cast<int>(exitCode_); }

 private:
  ExitCode exitCode_ = ExitCode::Installed;
  // Held until the process ends; its end frees the name for the next installer.
  ScopedHandle instanceMutex_;
};

// The check for a running platform launcher or lobby, at start-up and again at the start button.
#pragma once

// The text of the question asked when a launcher or lobby window is found.
extern const char* const kLobbyRunningText;

#include <windows.h>

// The running launcher's window, else the running lobby's, by the classes recorded in
// `LauncherClass` and `PlazaClass`; null when the key cannot be opened or neither runs. Asks
// nothing: the install without a window uses it alone.
HWND FindRunningLobby();

// Looks for a top-level window of the class recorded in `LauncherClass`, else of the one in
// `PlazaClass`. When one runs, asks whether to install again: Yes posts WM_CLOSE to it and
// returns true; any other answer posts WM_SHOWWINDOW(TRUE, 0) to it and returns false. True
// without a question when the key cannot be opened or no such window runs.
bool CheckRunningLobby();

// Starting a program or a document as the signed-in user rather than with this process's
// rights: the installer runs elevated, and the game, its companion and the browser must not.
#pragma once

#include <windows.h>

// How a start went.
enum class ShellLaunch {
  AsUser,    // handed to the desktop's shell, which runs with the user's own rights
  Elevated,  // the desktop's shell could not be reached; started with our rights instead
  Failed,    // neither way worked; ShellExecute's code is in *shellCode
};

// Opens `file` (a program, a document or a URL) with `parameters` in `folder` (both may be
// null) through the shell of the signed-in user: the desktop's IShellDispatch2::ShellExecute,
// reached through IShellWindows, which is how an elevated process starts an unelevated one.
// When that route is not there (no desktop shell, a system without it) the file is opened by
// ShellExecute from this process, as before. COM must be initialised on the calling thread.
// *shellCode (when given) receives ShellExecute's result on that second route, or 33 on the
// first.
ShellLaunch OpenAsUser(const char* file, const char* parameters, const char* folder,
                       int showCommand, int* shellCode = nullptr);

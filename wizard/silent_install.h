// The install without a window, for internet cafés and administrators who install the platform
// on many machines from a script or a deployment tool: the same download, check and setup run
// as the wizard's, asking nothing and showing nothing; the outcome is the exit code.
#pragma once

#include "app/command_line.h"

// Runs the install the command line asks for and logs each step and the outcome. The caller
// holds the single-instance mutex and has started the sockets.
ExitCode RunSilentInstall(const CommandLine& commandLine);

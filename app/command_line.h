// The installer's command line: `/S` runs the install without a window for scripts and
// deployment tools, `/D=<folder>` names the install folder (last on the line: it takes the rest
// of it, blanks included), `/NOLAUNCH` leaves the game unstarted, `/LOG=<file>` writes the log
// there. Switches in any letter case and any order. Without arguments the wizard runs.
#pragma once

#include <string>

// What the process ends with; scripts read it (`start /wait`). Documented in the README.
enum class ExitCode : int {
  Installed = 0,
  DownloadFailed = 1,
  BadCommandLine = 2,
  AnotherCopy = 3,
  LobbyRunning = 4,
  ProgramRefused = 5,
  SetupFailed = 6,
  FolderNotUsable = 7,
  NoDiskSpace = 8,
  BlockedBySecurity = 9,
  GameNotStarted = 10,  // installed, but the game or its companion could not be started
};

enum class CommandLineError {
  None,
  UnknownSwitch,  // not a switch of this program
  MissingValue,   // `/D=` or `/LOG=` with nothing after it
  NeedsSilent,    // `/D=` or `/NOLAUNCH` without `/S`: they mean nothing to the wizard
};

struct CommandLine {
  bool silent = false;
  bool folderGiven = false;
  std::string folder;   // as given, quotes removed, surrounding blanks trimmed
  bool noLaunch = false;
  std::string logPath;  // empty: the log's default place
  CommandLineError error = CommandLineError::None;
  std::string offending;  // the switch that `error` is about
};

// The arguments of a whole command line (as GetCommandLine gives it): what follows the
// program's name, quoted or not.
std::string ArgumentsOf(const std::string& commandLine);

// Reads the arguments (UTF-8). Stops at the first switch in error. Double quotes
// group blanks into one switch (`"/LOG=C:\my logs\a.log"`) and are dropped.
CommandLine ParseCommandLine(const std::string& arguments);

// What went wrong, for the log: `unknown switch "/X"`.
std::string DescribeError(const CommandLine& commandLine);

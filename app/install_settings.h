// The installer's one piece of persistent state: HKEY_CURRENT_USER\Software\Vantreo\Install.
// The install folder lives in `Path` (the platform's setup program installs there), `UnionID`
// is always written as 0, and the platform records its launcher's and lobby's window classes
// in `LauncherClass` and `PlazaClass`. Every operation opens the key afresh and closes it.
#pragma once

#include <windows.h>

#include <string>

namespace InstallSettings {

constexpr const char* kKeyPath = "Software\\Vantreo\\Install";
constexpr const char* kPathValue = "Path";
constexpr const char* kUnionIdValue = "UnionID";
constexpr const char* kLauncherClassValue = "LauncherClass";
constexpr const char* kPlazaClassValue = "PlazaClass";
// Every string read from or formed for the key fits in MAX_PATH UTF-16 units, NUL included;
// in UTF-8 a unit takes at most three bytes.
constexpr DWORD kStringBytes = 3 * MAX_PATH;
constexpr const char* kProductFolder = "\\Vantreo";
// The programs the setup program installs and the installer starts from the install folder:
// the game and its companion.
constexpr const char* kGameProgram = "\\Vantreo.exe";
constexpr const char* kCompanionProgram = "\\GlyphHint.exe";
// The longest name of a program the installer starts from the install folder.
constexpr const char* kLongestProgram = kCompanionProgram;

// True when the key holds a usable `Path` (a string value of 1 to 259 characters, in UTF-16
// units as Windows counts a path); then
// `folder` is that string with double backslashes collapsed. False, leaving `folder` alone,
// when the key cannot be opened or `Path` is missing, empty, not a string or too long: the
// caller then proposes the default folder and stores it.
bool ReadInstallFolder(std::string& folder);

// Stores `folder` as `Path` and 0 as `UnionID`, creating the key if needed. Failures are
// silent: the folder is then used for this run only.
void WriteInstallFolder(const std::string& folder);

// The program-files folder followed by "\Vantreo".
std::string DefaultInstallFolder();

// `baseFolder` followed by "\Vantreo", double backslashes collapsed (D:\ gives D:\Vantreo).
std::string MakeInstallFolder(const std::string& baseFolder);

// True when every program the wizard starts from `folder` has a path shorter than MAX_PATH
// UTF-16 units; a longer folder would install but never start its game.
bool InstallFolderFits(const std::string& folder);

// Why a folder given on the command line cannot be the install folder.
enum class FolderProblem {
  None,
  NotAbsolute,   // not of the form X:\... (relative, drive-relative or a network path)
  BadCharacter,  // a character no file name may hold (< > : " | ? * or a control character)
  TooLong,       // its programs' paths would not fit in MAX_PATH (InstallFolderFits)
};

// Checks a folder (UTF-8) as the folder dialog would never hand out a bad one.
FolderProblem CheckInstallFolder(const std::string& folder);
const char* FolderProblemText(FolderProblem problem);

}  // namespace InstallSettings

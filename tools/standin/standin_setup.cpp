// Stands in for the platform's setup program, downloaded and run by the installer. Like the real
// one it must be started with "/VERYSILENT /SILENT" and installs into the folder named by
// HKEY_CURRENT_USER\Software\Vantreo\Install\Path. It takes a few seconds, then creates that
// folder and puts the game (Vantreo.exe) and the companion program (GlyphHint.exe) there, both
// the stand-in game carried as resource 1, and notes what it did in "setup.log" there.
// Started otherwise, it installs nothing, notes why in %TEMP%\standin-setup.log and ends with 2.
// With the value "StandinPrograms" of that key set to "none" it installs no programs, as a
// setup program whose files a scanner took away: the game then cannot be started.
// Texts are UTF-8 inside and in its logs; every system call takes UTF-16, so any folder works.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/text_win32.h"

namespace {

using platform::Utf8ToWide;
using platform::WideToUtf8;

constexpr const char* kExpectedArguments = "/VERYSILENT /SILENT";
constexpr const wchar_t* kSettingsKey = L"Software\\Vantreo\\Install";
constexpr DWORD kInstallMs = 7000;  // longer than the five seconds after which a
                                      // silent download counts as stalled
constexpr int kGameResource = 1;

// The command line after the program's own name, without surrounding blanks.
std::string Arguments() {
  const std::string whole = WideToUtf8(::GetCommandLineW());
  const char* line = whole.c_str();
  if (*line == '"') {
    const char* close = std::strchr(line + 1, '"');
    line = close ? close + 1 : line + std::strlen(line);
  } else {
    while (*line && *line != ' ' && *line != '\t') ++line;
  }
  std::string rest = line;
  size_t first = rest.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = rest.find_last_not_of(" \t");
  return rest.substr(first, last - first + 1);
}

// A text value of the settings key; false when it is missing or empty.
bool ReadSetting(const char* name, std::string* text) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  DWORD type = 0;
  LONG result = ::RegQueryValueExW(key, Utf8ToWide(name).c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ || value[0] == L'\0') return false;
  *text = WideToUtf8(value);
  return true;
}

// Creates `folder` and every missing folder above it.
bool CreateFolderTree(const std::string& folder) {
  for (size_t at = folder.find('\\', 3); ; at = folder.find('\\', at + 1)) {
    std::string part = folder.substr(0, at);
    if (!::CreateDirectoryW(Utf8ToWide(part).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
    if (at == std::string::npos) return true;
  }
}

bool WriteFileBytes(const std::string& path, const void* data, DWORD size) {
  HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = ::WriteFile(file, data, size, &written, nullptr);
  ::CloseHandle(file);
  return ok && written == size;
}

bool InstallGame(const std::string& folder) {
  HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(kGameResource), RT_RCDATA);
  HGLOBAL loaded = resource ? ::LoadResource(nullptr, resource) : nullptr;
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  DWORD size = resource ? ::SizeofResource(nullptr, resource) : 0;
  if (!bytes || size == 0) return false;
  return WriteFileBytes(folder + "\\Vantreo.exe", bytes, size) &&
         WriteFileBytes(folder + "\\GlyphHint.exe", bytes, size);
}

int Fail(const std::string& why) {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  std::string text = why + "\r\n";
  WriteFileBytes(WideToUtf8(temp) + "standin-setup.log", text.data(),
                 static_cast<DWORD>(text.size()));
  return 2;
}

}  // namespace

int main() {
  const std::string arguments = Arguments();
  if (arguments != kExpectedArguments) return Fail("wrong arguments: [" + arguments + "]");
  std::string folder;
  if (!ReadSetting("Path", &folder)) return Fail("no install folder in the registry");

  ::Sleep(kInstallMs);
  if (!CreateFolderTree(folder)) return Fail("cannot create " + folder);
  std::string programs;
  const bool leaveOut = ReadSetting("StandinPrograms", &programs) && programs == "none";
  if (!leaveOut && !InstallGame(folder)) return Fail("cannot write the programs to " + folder);
  std::string log = "arguments " + arguments + "\r\nfolder " + folder + "\r\n";
  WriteFileBytes(folder + "\\setup.log", log.data(), static_cast<DWORD>(log.size()));
  return 0;
}

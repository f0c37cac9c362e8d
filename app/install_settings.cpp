#include "app/install_settings.h"

#include <shlobj.h>

#include "app/reg_key.h"
#include "platform/text_win32.h"
#include "tasks/url_utils.h"

namespace InstallSettings {

namespace {

// A path's length as Windows measures it.
size_t SystemLength(const std::string& path) { return platform::Utf8ToWide(path).size(); }

}  // namespace

bool ReadInstallFolder(std::string& folder) {
  RegKey key;
  if (key.Open(HKEY_CURRENT_USER, kKeyPath, KEY_READ) != ERROR_SUCCESS) return false;
  char buffer[kStringBytes] = {};
  DWORD bytes = sizeof(buffer);
  // A missing, empty, non-string or oversized Path would leave the setup program and the
  // wizard without a folder; the caller replaces it with the default.
  if (key.ReadString(kPathValue, buffer, &bytes) != ERROR_SUCCESS || bytes <= 1 ||
      SystemLength(buffer) >= MAX_PATH)
    return false;
  folder.assign(buffer);
  CollapseDoubleBackslashes(folder);
  return true;
}

void WriteInstallFolder(const std::string& folder) {
  RegKey key;
  if (key.Create(HKEY_CURRENT_USER, kKeyPath, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) return;
  key.WriteString("", folder.c_str(), kPathValue);
  const DWORD unionId = 0;
  ::RegSetValueExW(key.Handle(), platform::Utf8ToWide(kUnionIdValue).c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&unionId), sizeof(unionId));
}

std::string DefaultInstallFolder() {
  wchar_t programFiles[MAX_PATH] = {};
  ::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
  return MakeInstallFolder(platform::WideToUtf8(programFiles));
}

std::string MakeInstallFolder(const std::string& baseFolder) {
  std::string folder = baseFolder + kProductFolder;
  CollapseDoubleBackslashes(folder);
  return folder;
}

bool InstallFolderFits(const std::string& folder) {
  return SystemLength(folder) < MAX_PATH - std::char_traits<char>::length(kLongestProgram);
}

FolderProblem CheckInstallFolder(const std::string& folder) {
  const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (folder.size() < 3 || !isLetter(folder[0]) || folder[1] != ':' || folder[2] != '\\') {
    return FolderProblem::NotAbsolute;
  }
  // Byte by byte: no byte of a longer UTF-8 character is below 0x80.
  for (size_t at = 3; at < folder.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(folder[at]);
    if (c < 0x20 || std::char_traits<char>::find("<>:\"|?*", 7, static_cast<char>(c))) {
      return FolderProblem::BadCharacter;
    }
  }
  return InstallFolderFits(folder) ? FolderProblem::None : FolderProblem::TooLong;
}

const char* FolderProblemText(FolderProblem problem) {
  switch (problem) {
    case FolderProblem::None:
      return "usable";
    case FolderProblem::NotAbsolute:
      return "not a full path with a drive letter";
    case FolderProblem::BadCharacter:
      return "holds a character no folder name may have";
    case FolderProblem::TooLong:
      return "too long for the paths of the programs in it";
  }
  return "unknown";
}

}  // namespace InstallSettings

#include "platform/files.h"

#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

namespace platform {

std::string TempFolder() {
  char buffer[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, buffer);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

bool PathExists(const std::string& path) { return _access(path.c_str(), 0) == 0; }

bool PathWritable(const std::string& path) { return _access(path.c_str(), 2) == 0; }

bool IsDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

uint32_t FileSize(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  struct _stat64 info;
  if (_stat64(path.c_str(), &info) != 0) return 0;
  return static_cast<uint32_t>(info.st_size);
}

std::FILE* OpenFileDenyWrite(const std::string& path, const char* mode) {
  return _fsopen(path.c_str(), mode, _SH_DENYWR);
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  DWORD wanted = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                          : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return wanted == attributes || SetFileAttributesA(path.c_str(), wanted) != 0;
}

}  // namespace platform

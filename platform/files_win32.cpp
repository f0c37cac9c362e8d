#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/text_win32.h"

namespace platform {

std::string TempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return std::string();
  return WideToUtf8(std::wstring(buffer, length));
}

bool PathExists(const std::string& path) { return _waccess(Utf8ToWide(path).c_str(), 0) == 0; }

bool PathWritable(const std::string& path) { return _waccess(Utf8ToWide(path).c_str(), 2) == 0; }

bool IsDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RemoveFile(const std::string& path) { return DeleteFileW(Utf8ToWide(path).c_str()) != 0; }

uint32_t FileSize(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  struct _stat64 info;
  if (_wstat64(Utf8ToWide(path).c_str(), &info) != 0) return 0;
  return static_cast<uint32_t>(info.st_size);
}

std::FILE* OpenFileDenyWrite(const std::string& path, const char* mode) {
  return _wfsopen(Utf8ToWide(path).c_str(), Utf8ToWide(mode).c_str(), _SH_DENYWR);
}

std::FILE* OpenLogFile(const std::string& path, bool truncate) {
  HANDLE file = CreateFileW(Utf8ToWide(path).c_str(),
                            FILE_APPEND_DATA | (truncate ? GENERIC_WRITE : 0),
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            truncate ? CREATE_ALWAYS : OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    CloseHandle(file);
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, "ab");
  if (stream == nullptr) _close(descriptor);  // closes the handle too
  return stream;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  DWORD wanted = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                          : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return wanted == attributes || SetFileAttributesW(Utf8ToWide(path).c_str(), wanted) != 0;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string FolderOf(const std::string& path) {
  // In UTF-8 no byte of a longer character is below 0x80: a plain search finds separators only.
  const size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::vector<FolderFile> ListFiles(const std::string& folder) {
  std::vector<FolderFile> files;
  const std::string prefix =
      folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder : folder + "\\";
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Utf8ToWide(prefix + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return files;
  FILETIME nowTime;
  GetSystemTimeAsFileTime(&nowTime);
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  constexpr uint64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns
  do {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    const uint64_t now = ticks(nowTime);
    const uint64_t written = ticks(data.ftLastWriteTime);
    const int64_t age = now > written ? static_cast<int64_t>((now - written) / kTicksPerSecond) : 0;
    files.push_back({WideToUtf8(data.cFileName), age});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return files;
}

}  // namespace platform

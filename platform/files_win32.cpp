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

namespace {

// winerror.h values the mingw-w64 headers lack: the file holds a virus, or was deleted as one.
constexpr DWORD kErrorVirusInfected = 225;
constexpr DWORD kErrorVirusDeleted = 226;

FileFault FaultOf(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return FileFault::None;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return FileFault::DiskFull;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return FileFault::Busy;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return FileFault::Denied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DELETE_PENDING: return FileFault::Missing;
    case kErrorVirusInfected:
    case kErrorVirusDeleted: return FileFault::Virus;
    case ERROR_FILENAME_EXCED_RANGE: return FileFault::TooLong;
    default: return FileFault::Other;
  }
}

}  // namespace

FileFault OffsetFile::Open(const std::string& path, bool create) {
  Close();
  HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    lastError_ = static_cast<int>(error);
    return FaultOf(error);
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return FileFault::None;
}

FileFault OffsetFile::SetSize(uint64_t size) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  // The clusters are taken now: a full disk shows before the first byte arrives.
  if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file))
    return FileFault::None;
  const DWORD error = GetLastError();
  lastError_ = static_cast<int>(error);
  return FaultOf(error);
}

uint64_t OffsetFile::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

namespace {

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

}  // namespace

FileFault OffsetFile::WriteAt(uint64_t offset, const char* data, size_t count) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  while (count > 0) {
    OVERLAPPED where = At(offset);
    const DWORD piece = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(file, data, piece, &written, &where) || written == 0) {
      const DWORD error = written == 0 ? ERROR_DISK_FULL : GetLastError();
      lastError_ = static_cast<int>(error);
      return FaultOf(error);
    }
    data += written;
    count -= written;
    offset += written;
  }
  return FileFault::None;
}

long OffsetFile::ReadAt(uint64_t offset, char* data, size_t count) {
  OVERLAPPED where = At(offset);
  DWORD got = 0;
  const DWORD piece = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), data, piece, &got, &where)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    lastError_ = static_cast<int>(error);
    return -1;
  }
  return static_cast<long>(got);
}

void OffsetFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kClosed;
}

bool AvailableBytes(const std::string& folder, uint64_t& bytes) {
  ULARGE_INTEGER available;
  const std::wstring wideFolder = Utf8ToWide(folder);
  if (!GetDiskFreeSpaceExW(folder.empty() ? nullptr : wideFolder.c_str(), &available, nullptr,
                           nullptr))
    return false;
  bytes = available.QuadPart;
  return true;
}

FileFault MoveReplacing(const std::string& from, const std::string& to) {
  if (MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return FileFault::None;
  return FaultOf(GetLastError());
}

uint64_t FileSize64(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace platform

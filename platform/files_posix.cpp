#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {

namespace {

// Windows' read-only attribute maps to "no write bit at all": root would pass access(W_OK)
// on such a file, and the core must see the same answers in both builds.
bool HasWriteBits(const struct stat& info) { return (info.st_mode & 0222) != 0; }

}  // namespace

std::FILE* OpenFileDenyWrite(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

std::FILE* OpenLogFile(const std::string& path, bool truncate) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW |
                                                O_CLOEXEC | (truncate ? O_TRUNC : 0),
                              0644);
  if (descriptor < 0) return nullptr;
  struct stat info;
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    close(descriptor);
    return nullptr;
  }
  std::FILE* stream = fdopen(descriptor, "ab");
  if (stream == nullptr) close(descriptor);
  return stream;
}

std::string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder;
}

bool PathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool PathWritable(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  return HasWriteBits(info) && access(path.c_str(), W_OK) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool RemoveFile(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  if (!S_ISLNK(info.st_mode) && !HasWriteBits(info)) return false;
  return unlink(path.c_str()) == 0;
}

uint32_t FileSize(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return 0;
  return static_cast<uint32_t>(info.st_size);
}

bool SetReadOnly(const std::string& path, bool readOnly) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  mode_t mode = readOnly ? (info.st_mode & ~0222) : (info.st_mode | S_IWUSR);
  return chmod(path.c_str(), mode & 07777) == 0;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::vector<FolderFile> ListFiles(const std::string& folder) {
  std::vector<FolderFile> files;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return files;
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  const time_t now = std::time(nullptr);
  while (const dirent* entry = readdir(dir)) {
    struct stat info;
    if (lstat((prefix + entry->d_name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    files.push_back({entry->d_name, static_cast<int64_t>(now - info.st_mtime)});
  }
  closedir(dir);
  return files;
}

namespace {

FileFault FaultOf(int error) {
  switch (error) {
    case 0: return FileFault::None;
    case ENOSPC:
    case EDQUOT: return FileFault::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS: return FileFault::Denied;
    case ENOENT: return FileFault::Missing;
    case ENAMETOOLONG: return FileFault::TooLong;
    case EAGAIN:
    case ETXTBSY: return FileFault::Busy;
    default: return FileFault::Other;
  }
}

}  // namespace

FileFault OffsetFile::Open(const std::string& path, bool create) {
  Close();
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_TRUNC : 0);
  const int descriptor = open(path.c_str(), flags, 0600);
  if (descriptor < 0) {
    const int error = errno;
    lastError_ = error;
    return FaultOf(error);
  }
  handle_ = descriptor;
  return FileFault::None;
}

FileFault OffsetFile::SetSize(uint64_t size) {
  if (ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0) return FileFault::None;
  const int error = errno;
  lastError_ = error;
  return FaultOf(error);
}

uint64_t OffsetFile::Size() const {
  struct stat info;
  if (!IsOpen() || fstat(static_cast<int>(handle_), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

FileFault OffsetFile::WriteAt(uint64_t offset, const char* data, size_t count) {
  while (count > 0) {
    const ssize_t written =
        pwrite(static_cast<int>(handle_), data, count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = written < 0 ? errno : ENOSPC;
      lastError_ = error;
      return FaultOf(error);
    }
    data += written;
    count -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return FileFault::None;
}

long OffsetFile::ReadAt(uint64_t offset, char* data, size_t count) {
  ssize_t got;
  do {
    got = pread(static_cast<int>(handle_), data, count, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) lastError_ = errno;
  return static_cast<long>(got);
}

void OffsetFile::Close() {
  if (!IsOpen()) return;
  close(static_cast<int>(handle_));
  handle_ = kClosed;
}

bool AvailableBytes(const std::string& folder, uint64_t& bytes) {
  struct statvfs info;
  if (statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) return false;
  bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

FileFault MoveReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0 ? FileFault::None : FaultOf(errno);
}

uint64_t FileSize64(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<uint64_t>(info.st_size);
}

}  // namespace platform

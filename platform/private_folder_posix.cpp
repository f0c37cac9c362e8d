#include "platform/private_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

const char kFolderName[] = "vantreo";
constexpr mode_t kPrivateMode = 0700;

// Owns a file descriptor; closed on every path.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// The user's cache folder: $XDG_CACHE_HOME, else ~/.cache; "" when neither is an absolute
// path (a relative one would depend on where the program was started).
std::string UserCacheFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return cache;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache";
  return std::string();
}

// Makes `folder` and the folders above it that are missing, the new ones private.
bool MakeFolderTree(const std::string& folder) {
  for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
    const std::string part = folder.substr(0, at);
    if (!part.empty() && mkdir(part.c_str(), kPrivateMode) != 0 && errno != EEXIST)
      return false;
    if (at == std::string::npos) return true;
  }
}

}  // namespace

bool ProcessIsElevated() { return false; }

std::string PrivateFolderIn(const std::string& parent) {
  if (parent.empty() || !MakeFolderTree(parent)) return std::string();
  const std::string folder =
      (parent.back() == '/' ? parent : parent + '/') + kFolderName;
  if (mkdir(folder.c_str(), kPrivateMode) != 0 && errno != EEXIST) return std::string();
  // Judged through the folder itself, opened without following a link: what is checked is
  // what is used.
  Descriptor opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (opened.Get() < 0 || fstat(opened.Get(), &info) != 0 || !S_ISDIR(info.st_mode) ||
      info.st_uid != geteuid())
    return std::string();
  // Files others could have put in while they could write there are not to be trusted.
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return std::string();
  if ((info.st_mode & 0777) != kPrivateMode && fchmod(opened.Get(), kPrivateMode) != 0)
    return std::string();
  return folder + '/';
}

const char* DownloadFolderRule() {
  return "the folder vantreo in $XDG_CACHE_HOME or ~/.cache must be the user's own folder, "
         "not a link, that no one else can write";
}

std::string DownloadFolder() {
  static const std::string folder = PrivateFolderIn(UserCacheFolder());
  return folder;
}

}  // namespace platform

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/program_check.h"

namespace platform {

bool HeldFile::Open(const std::string& path) {
  Close();
  // POSIX has no sharing modes: the folder's permissions are what keep others out here.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  path_ = path;
  return true;
}

void HeldFile::Close() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
  handle_ = kNone;
  path_.clear();
}

uint64_t HeldFile::Size() const {
  struct stat info;
  if (handle_ == kNone || ::fstat(static_cast<int>(handle_), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

long HeldFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  if (handle_ == kNone) return -1;
  return static_cast<long>(
      ::pread(static_cast<int>(handle_), buffer, count, static_cast<off_t>(offset)));
}

bool IsPlatformProgram(const HeldFile& file) {
  unsigned char start[4];
  const long count = file.ReadAt(0, start, sizeof start);
  if (count >= 2 && start[0] == '#' && start[1] == '!') return true;
  return count == 4 && std::memcmp(start, "\x7f" "ELF", 4) == 0;
}

std::string Sha256Hex(const HeldFile& file) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return "";
  std::vector<unsigned char> block(64 * 1024);
  for (uint64_t offset = 0;;) {
    const long count = file.ReadAt(offset, block.data(), block.size());
    if (count < 0) return "";
    if (count == 0) break;
    if (EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(count)) != 1) return "";
    offset += static_cast<uint64_t>(count);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return "";
  return HexText(digest, length);
}

ProgramCheck CheckSignature(const HeldFile&, const std::vector<std::string>&, std::string*) {
  // Programs of this platform carry no signatures of the kind the Windows build checks; the
  // native build is the development tool, and its programs are judged by format and digest.
  return ProgramCheck::Ok;
}

}  // namespace platform

// Files and the temporary folder, as the portable core needs them. Paths are narrow strings
// in UTF-8 (on Windows handed to the system as UTF-16, so any name can be reached).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// The user's temporary folder with its trailing separator, or "" when it cannot be obtained.
std::string TempFolder();

// True when something exists at the path (file or folder).
bool PathExists(const std::string& path);

// True when the path may be written. A read-only file is not writable, whoever runs us.
bool PathWritable(const std::string& path);

// True when the path names a folder.
bool IsDirectory(const std::string& path);

// Deletes a file; fails on a read-only file, as Windows does.
bool RemoveFile(const std::string& path);

// Size of a file; 0 when it is missing or a folder.
uint32_t FileSize(const std::string& path);

// fopen, except that on Windows nobody else may open the file for writing while it is open:
// a part file or a download cannot be changed by another program between its write and its
// check. POSIX has no such lock; there the folder's permissions keep others out.
std::FILE* OpenFileDenyWrite(const std::string& path, const char* mode);

// Opens a log file for appending (emptied first when `truncate`), creating it when missing; the
// file may be read by others while it is open. A path that is a link (symbolic or hard, or a
// junction) is refused with nullptr: an elevated program must not append to whatever file a
// user's link points at.
std::FILE* OpenLogFile(const std::string& path, bool truncate);

// Sets or clears the read-only mark of an existing file.
bool SetReadOnly(const std::string& path, bool readOnly);

// Gives `from` the name `to`, replacing a file of that name, in one step: a reader of `to` sees
// the old file or the new one, never a mix.
bool RenameReplacing(const std::string& from, const std::string& to);

// A plain file in a folder: its name (no folder) and how long ago it was last written.
struct FolderFile {
  std::string name;
  int64_t ageSeconds = 0;
};
// The folder part of a path with its trailing separator ("" for a bare name).
std::string FolderOf(const std::string& path);

// The plain files of a folder (no folders, no links); empty when it cannot be read.
std::vector<FolderFile> ListFiles(const std::string& folder);

// Why a file operation of the download failed, as far as the user must be told apart.
enum class FileFault {
  None,
  DiskFull,     // no room left on the volume, or the user's quota is used up
  Busy,         // another program holds the file (a sharing violation or a lock): a scanner
  Denied,       // access denied, a read-only file or folder
  Missing,      // the file or its folder is not there (any more)
  Virus,        // the system refused the file as infected, or deleted it as such
  TooLong,      // the path is longer than the system takes
  Other,
};

// The fault's name as the log shows it ("disk full", "in use", ...).
inline const char* FileFaultText(FileFault fault) {
  switch (fault) {
    case FileFault::None: return "no fault";
    case FileFault::DiskFull: return "disk full";
    case FileFault::Busy: return "in use by another program";
    case FileFault::Denied: return "access denied";
    case FileFault::Missing: return "not found";
    case FileFault::Virus: return "refused or deleted as infected";
    case FileFault::TooLong: return "path too long";
    case FileFault::Other: return "failed";
  }
  return "failed";
}

// A file written at offsets, by several threads at once, and read back. Windows: nobody else
// may open it for writing or deleting while it is open. One owner; closed when destroyed.
class OffsetFile {
 public:
  OffsetFile() = default;
  ~OffsetFile() { Close(); }
  OffsetFile(const OffsetFile&) = delete;
  OffsetFile& operator=(const OffsetFile&) = delete;

  // Opens for reading and writing; `create`: a new, empty file replacing any of that name.
  FileFault Open(const std::string& path, bool create);
  bool IsOpen() const { return handle_ != kClosed; }
  // Gives the file `size` bytes (its end moves there; the bytes read as zero until written).
  FileFault SetSize(uint64_t size);
  // The file's size; 0 when closed or unknown.
  uint64_t Size() const;
  // All of `count` bytes at `offset`, or the reason why not.
  FileFault WriteAt(uint64_t offset, const char* data, size_t count);
  // Up to `count` bytes at `offset`; their number, or -1.
  long ReadAt(uint64_t offset, char* data, size_t count);
  void Close();
  // The system's code of the last failure (errno, GetLastError), for the log. Writes from
  // several threads may fail at once.
  int LastErrorCode() const { return lastError_.load(); }

 private:
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;
  std::atomic<int> lastError_{0};
};

// Bytes the volume of `folder` has available to this user; false when that cannot be learned.
bool AvailableBytes(const std::string& folder, uint64_t& bytes);

// RenameReplacing, with the reason of a failure.
FileFault MoveReplacing(const std::string& from, const std::string& to);

// Size of a file, of any size; 0 when it is missing or a folder.
uint64_t FileSize64(const std::string& path);

}  // namespace platform

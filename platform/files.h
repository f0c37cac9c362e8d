// Files and the temporary folder, as the portable core needs them. Paths are narrow strings
// in UTF-8 (on Windows handed to the system as UTF-16, so any name can be reached).
#pragma once

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

}  // namespace platform

// Where the installer keeps what it downloads. Elevated, it must not be a folder the user (or
// another program of the user) can write: a file swapped there would run as administrator.
#pragma once

#include <string>

namespace platform {

// Whether the process runs with an elevated (administrator) token. Always false on POSIX.
bool ProcessIsElevated();

// The folder downloads, their parts and the installer's other files go to, with its trailing
// separator. Windows: elevated, a private folder below the machine's program-data folder (see
// PrivateFolderIn); otherwise the user's temporary folder. POSIX: the private folder in the
// user's cache folder ($XDG_CACHE_HOME, else ~/.cache), where no other user can plant parts.
// "" when no usable folder exists. Decided once per process.
std::string DownloadFolder();

// Why DownloadFolder() found no folder: what the folder must be, for the user's message.
const char* DownloadFolderRule();

// Windows: a folder named after the installer inside `parent`, with its trailing separator,
// that only Administrators and SYSTEM may write and that passes its owner and DACL check.
// A folder of that name that anyone else could write (made by a user beforehand, say) is left
// alone, and a fresh one with a numbered name is made instead. "" when none can be had.
// POSIX: "vantreo" inside `parent` (made, with any missing folder above it, when missing),
// with its trailing separator: a directory, not a link, owned by this user, that no group or
// other user could write; its mode becomes 0700. "" otherwise.
std::string PrivateFolderIn(const std::string& parent);

}  // namespace platform

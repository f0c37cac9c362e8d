// Windows only: the security of the private download folder, open to its tests.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace platform {

// Owner Administrators; a protected DACL (nothing inherited from the parent, where users may
// create folders) giving full control to Administrators and SYSTEM, passed on to everything
// made inside.
extern const char kPrivateFolderSddl[];

// Whether only Administrators, SYSTEM and `ownOwner` (the owner the system reports for what
// this process makes; may be null) may write to an object with this descriptor or change who
// may: its owner is one of them and no entry grants anyone else a right to write, delete, or
// change the DACL or the owner.
bool OnlyTrustedCanWrite(PSECURITY_DESCRIPTOR descriptor, PSID ownOwner);

// Makes a private folder in `base` (with its trailing separator) under a name from `name`,
// asking for another when one is taken (a few times); its path, or "" when none could be made.
std::string MakeProbeFolder(const std::string& base, const std::function<std::string()>& name);

}  // namespace platform

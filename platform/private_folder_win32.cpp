#include "platform/private_folder.h"

#include <windows.h>
// The security and shell declarations need windows.h first.
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/private_folder_win32.h"
#include "platform/system_library_win32.h"
#include "platform/text_win32.h"

namespace platform {

namespace {

const char kFolderName[] = "Vantreo";
constexpr int kMaxNumberedNames = 20;
// A probe name taken by another (by chance, or planted) is replaced by a fresh one this often.
constexpr int kProbeTries = 8;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

struct LocalFreeDeleter {
  void operator()(void* memory) const { ::LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

bool IsTrustedSid(PSID sid, PSID ownOwner) {
  return ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(sid, WinLocalSystemSid) || (ownOwner && ::EqualSid(sid, ownOwner));
}

// The folder itself: a directory, not a junction or link that could lead anywhere.
bool IsPlainDirectory(const std::string& folder) {
  const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(folder).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool OnlyTrustedWriteFolder(const std::string& folder, PSID ownOwner) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(Utf8ToWide(folder).c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  LocalMemory holder(descriptor);
  return OnlyTrustedCanWrite(descriptor, ownOwner);
}

}  // namespace

const char kPrivateFolderSddl[] = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

bool OnlyTrustedCanWrite(PSECURITY_DESCRIPTOR descriptor, PSID ownOwner) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return false;
  // The owner may always rewrite the DACL; no DACL at all grants everyone everything.
  if (owner == nullptr || !IsTrustedSid(owner, ownOwner) || !present || dacl == nullptr) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
    // Deny entries take nothing away that matters here; any other kind is not understood.
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if ((ace->Mask & kWriteRights) && !IsTrustedSid(&ace->SidStart, ownOwner)) return false;
  }
  return true;
}

namespace {

// Makes the folder with the private DACL; true when it was made now.
bool CreatePrivate(const std::string& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          Utf8ToWide(kPrivateFolderSddl).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  LocalMemory holder(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  return ::CreateDirectoryW(Utf8ToWide(folder).c_str(), &attributes) != 0;
}

// A probe folder's name nobody can know in advance: 128 bits from the system's generator;
// "" when it has none to give.
std::string RandomProbeName() {
  using GenRandom = LONG(WINAPI*)(void*, PUCHAR, ULONG, ULONG);
  auto generate = SystemFunction<GenRandom>(L"bcrypt.dll", "BCryptGenRandom");
  unsigned char bytes[16];
  if (!generate ||
      generate(nullptr, bytes, sizeof bytes, 0x00000002 /* BCRYPT_USE_SYSTEM_PREFERRED_RNG */) != 0)
    return std::string();
  static const char kDigits[] = "0123456789abcdef";
  std::string name = std::string(kFolderName) + ".probe";
  for (unsigned char byte : bytes) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name;
}

// The owner the system reports for a folder this process makes with the private descriptor:
// Administrators on Windows; a system that keeps no descriptors (Wine) reports the user. Read
// from a probe folder made and removed for the purpose. The SID is copied into `sid`.
bool OwnOwner(const std::string& base, std::vector<unsigned char>& sid) {
  const std::string probe = MakeProbeFolder(base, RandomProbeName);
  if (probe.empty()) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool read = ::GetNamedSecurityInfoW(Utf8ToWide(probe).c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                            nullptr, &descriptor) == ERROR_SUCCESS;
  LocalMemory holder(descriptor);
  ::RemoveDirectoryW(Utf8ToWide(probe).c_str());
  if (!read || owner == nullptr) return false;
  const BYTE* bytes = static_cast<const BYTE*>(owner);
  sid.assign(bytes, bytes + ::GetLengthSid(owner));
  return true;
}

std::string ProgramDataFolder() {
  // From the system, not from %ProgramData%: the user sets their own environment.
  wchar_t path[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
    return std::string();
  return WideToUtf8(path);
}

}  // namespace

std::string MakeProbeFolder(const std::string& base, const std::function<std::string()>& name) {
  for (int attempt = 0; attempt < kProbeTries; ++attempt) {
    const std::string next = name();
    if (next.empty()) return std::string();
    const std::string probe = base + next;
    if (CreatePrivate(probe)) return probe;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
  }
  return std::string();
}

bool ProcessIsElevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  ::CloseHandle(token);
  return elevated;
}

std::string PrivateFolderIn(const std::string& parent) {
  if (parent.empty()) return std::string();
  const std::string base = parent.back() == '\\' ? parent : parent + '\\';
  std::vector<unsigned char> ownOwner;
  if (!OwnOwner(base, ownOwner)) return std::string();
  for (int number = 0; number <= kMaxNumberedNames; ++number) {
    char name[32];
    if (number == 0) {
      std::snprintf(name, sizeof name, "%s", kFolderName);
    } else {
      std::snprintf(name, sizeof name, "%s.%d", kFolderName, number);
    }
    const std::string folder = base + name;
    // Checked after it was made too: a folder made by someone else a moment before is theirs.
    if ((CreatePrivate(folder) || ::GetLastError() == ERROR_ALREADY_EXISTS) &&
        IsPlainDirectory(folder) && OnlyTrustedWriteFolder(folder, ownOwner.data()))
      return folder + '\\';
  }
  return std::string();
}

const char* DownloadFolderRule() {
  return "no folder that only administrators can write could be made";
}

std::string DownloadFolder() {
  static const std::string folder =
      ProcessIsElevated() ? PrivateFolderIn(ProgramDataFolder()) : TempFolder();
  return folder;
}

}  // namespace platform

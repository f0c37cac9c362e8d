#include <windows.h>
// The trust and hashing declarations need windows.h first.
#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cctype>
#include <vector>

#include "platform/program_check.h"
#include "platform/system_library_win32.h"
#include "platform/text_win32.h"

namespace platform {

namespace {

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// SHA-256 through BCrypt, fed by `feed` with a function that hashes one block; "" on failure.
template <typename Feed>
std::string BcryptSha256(Feed feed) {
  using Open = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
  using Close = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
  using Create = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                   ULONG, ULONG);
  using Data = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
  using Finish = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
  using Destroy = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);
  const wchar_t* dll = L"bcrypt.dll";
  auto open = SystemFunction<Open>(dll, "BCryptOpenAlgorithmProvider");
  auto close = SystemFunction<Close>(dll, "BCryptCloseAlgorithmProvider");
  auto create = SystemFunction<Create>(dll, "BCryptCreateHash");
  auto data = SystemFunction<Data>(dll, "BCryptHashData");
  auto finish = SystemFunction<Finish>(dll, "BCryptFinishHash");
  auto destroy = SystemFunction<Destroy>(dll, "BCryptDestroyHash");
  if (!open || !close || !create || !data || !finish || !destroy) return std::string();

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return std::string();
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32];
  bool ok = create(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  if (ok) {
    ok = feed([&](const unsigned char* bytes, size_t count) {
      return data(hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(count), 0) == 0;
    });
    ok = ok && finish(hash, digest, sizeof digest, 0) == 0;
    destroy(hash);
  }
  close(algorithm, 0);
  return ok ? HexText(digest, sizeof digest) : std::string();
}

// The certificate's subject as the system shows it (its simple display name), or "".
std::string SubjectOf(PCCERT_CONTEXT certificate) {
  using GetName = DWORD(WINAPI*)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD);
  auto getName = SystemFunction<GetName>(L"crypt32.dll", "CertGetNameStringW");
  wchar_t name[512] = {};
  if (!getName || getName(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512) <= 1)
    return std::string();
  return WideToUtf8(name);
}

// Whether the signing certificate, of this subject, is one of the pinned publishers.
bool SignerIsPinned(PCCERT_CONTEXT certificate, const std::string& subject,
                    const std::vector<std::string>& signers) {
  if (signers.empty()) return true;
  const std::string fingerprint = "sha256:" + BcryptSha256([&](auto hash) {
    return hash(certificate->pbCertEncoded, certificate->cbCertEncoded);
  });
  for (const std::string& signer : signers) {
    if (!subject.empty() && signer == subject) return true;
    std::string lower = signer;  // "sha256:" and hex digits are ASCII
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.size() > 7 && lower == fingerprint) return true;
  }
  return false;
}

}  // namespace

bool HeldFile::Open(const std::string& path) {
  Close();
  // Read sharing only: while this handle is open no one can write, delete or rename the file.
  HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
  path_ = path;
  return true;
}

void HeldFile::Close() {
  if (handle_ != kNone) ::CloseHandle(AsHandle(handle_));
  handle_ = kNone;
  path_.clear();
}

uint64_t HeldFile::Size() const {
  LARGE_INTEGER size;
  if (handle_ == kNone || !::GetFileSizeEx(AsHandle(handle_), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

long HeldFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
  if (handle_ == kNone) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!::ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(count), &read, &at)) {
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return static_cast<long>(read);
}

bool IsPlatformProgram(const HeldFile& file) { return IsWindowsProgram(file); }

std::string Sha256Hex(const HeldFile& file) {
  return BcryptSha256([&](auto hash) {
    std::vector<unsigned char> block(64 * 1024);
    for (uint64_t offset = 0;;) {
      const long count = file.ReadAt(offset, block.data(), block.size());
      if (count < 0) return false;
      if (count == 0) return true;
      if (!hash(block.data(), static_cast<size_t>(count))) return false;
      offset += static_cast<uint64_t>(count);
    }
  });
}

ProgramCheck CheckSignature(const HeldFile& file, const std::vector<std::string>& signers,
                            std::string* signer) {
  using Verify = LONG(WINAPI*)(HWND, GUID*, void*);
  using ProviderData = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
  using Signer = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
  const wchar_t* dll = L"wintrust.dll";
  auto verify = SystemFunction<Verify>(dll, "WinVerifyTrust");
  auto providerData = SystemFunction<ProviderData>(dll, "WTHelperProvDataFromStateData");
  auto signerOf = SystemFunction<Signer>(dll, "WTHelperGetProvSignerFromChain");
  if (!verify || !providerData || !signerOf) return ProgramCheck::BadSignature;

  const std::wstring path = Utf8ToWide(file.Path());
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof fileInfo;
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = AsHandle(file.Handle());  // the held handle: the bytes checked are ours
  WINTRUST_DATA trust{};
  trust.cbStruct = sizeof trust;
  trust.dwUIChoice = WTD_UI_NONE;
  trust.fdwRevocationChecks = WTD_REVOKE_NONE;
  trust.dwUnionChoice = WTD_CHOICE_FILE;
  trust.pFile = &fileInfo;
  trust.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);

  ProgramCheck result = ProgramCheck::Ok;
  if (status == static_cast<LONG>(TRUST_E_NOSIGNATURE)) {
    result = ProgramCheck::Unsigned;
  } else if (status != 0) {
    result = ProgramCheck::BadSignature;
  } else {
    CRYPT_PROVIDER_DATA* data = providerData(trust.hWVTStateData);
    CRYPT_PROVIDER_SGNR* provider = data ? signerOf(data, 0, FALSE, 0) : nullptr;
    PCCERT_CONTEXT leaf = (provider && provider->csCertChain > 0 && provider->pasCertChain)
                              ? provider->pasCertChain[0].pCert
                              : nullptr;
    const std::string subject = leaf ? SubjectOf(leaf) : std::string();
    if (signer) *signer = subject;
    if (leaf == nullptr) {
      result = ProgramCheck::BadSignature;
    } else if (!SignerIsPinned(leaf, subject, signers)) {
      result = ProgramCheck::SignerNotPinned;
    }
  }
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
  return result;
}

}  // namespace platform

#include <windows.h>
// The trust and hashing declarations need windows.h first.
#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "platform/program_check.h"
#include "platform/program_check_win32.h"
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

// UTF-8 text as UTF-16; false when it is not valid UTF-8.
bool FromUtf8(const std::string& text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return false;
  wide.resize(static_cast<size_t>(length));
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), &wide[0], length) == length;
}

// The subject as one line, reversed so that it reads from the common name on; "" on failure.
std::wstring SubjectText(const CERT_NAME_BLOB& subject) {
  using NameToString = DWORD(WINAPI*)(DWORD, const CERT_NAME_BLOB*, DWORD, LPWSTR, DWORD);
  auto nameToString = SystemFunction<NameToString>(L"crypt32.dll", "CertNameToStrW");
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD size = nameToString ? nameToString(X509_ASN_ENCODING, &subject, type, nullptr, 0) : 0;
  if (size <= 1) return std::wstring();
  std::wstring text(size, L'\0');
  if (nameToString(X509_ASN_ENCODING, &subject, type, &text[0], size) != size) return std::wstring();
  text.resize(size - 1);
  return text;
}

// An encoded name with its values as UTF-16 and their lengths (a NUL inside a value stays
// visible); null when it cannot be decoded. Freed with LocalFree.
CERT_NAME_INFO* DecodeUnicodeName(const BYTE* bytes, DWORD size) {
  using Decode = BOOL(WINAPI*)(DWORD, LPCSTR, const BYTE*, DWORD, DWORD, PCRYPT_DECODE_PARA,
                               void*, DWORD*);
  auto decode = SystemFunction<Decode>(L"crypt32.dll", "CryptDecodeObjectEx");
  CERT_NAME_INFO* info = nullptr;
  DWORD infoSize = 0;
  if (!decode || !decode(X509_ASN_ENCODING, X509_UNICODE_NAME, bytes, size,
                         CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &infoSize))
    return nullptr;
  return info;
}

constexpr size_t kUnknownTerminator = 2;

// How many characters past a decoded value's text its length counts (0 or 1), learnt from a
// name with the one-letter common name "A"; kUnknownTerminator when the answer is neither.
size_t DecodedTerminatorLength() {
  static const BYTE kNameA[] = {0x30, 0x0c, 0x31, 0x0a, 0x30, 0x08, 0x06, 0x03,
                                0x55, 0x04, 0x03, 0x0c, 0x01, 'A'};
  CERT_NAME_INFO* info = DecodeUnicodeName(kNameA, sizeof kNameA);
  if (info == nullptr) return kUnknownTerminator;
  const DWORD bytes = info->rgRDN[0].rgRDNAttr[0].Value.cbData;
  ::LocalFree(info);
  return bytes == sizeof(wchar_t) ? 0 : bytes == 2 * sizeof(wchar_t) ? 1 : kUnknownTerminator;
}

// Whether the signing certificate is one of the pinned publishers.
bool SignerIsPinned(PCCERT_CONTEXT certificate, const std::vector<std::string>& signers) {
  if (signers.empty()) return true;
  const std::string fingerprint = "sha256:" + BcryptSha256([&](auto hash) {
    return hash(certificate->pbCertEncoded, certificate->cbCertEncoded);
  });
  const SignerNames names = SignerNamesOf(certificate->pCertInfo->Subject);
  for (const std::string& signer : signers) {
    if (SignerEntryMatches(signer, names, fingerprint)) return true;
  }
  return false;
}

}  // namespace

SignerNames SignerNamesOf(const CERT_NAME_BLOB& subject) {
  SignerNames names;
  CERT_NAME_INFO* info = DecodeUnicodeName(subject.pbData, subject.cbData);
  if (info == nullptr) return names;
  // Some systems count the terminating NUL in a value's length, others do not.
  static const size_t terminator = DecodedTerminatorLength();
  bool nul = terminator == kUnknownTerminator;
  int commonNames = 0;
  for (DWORD i = 0; i < info->cRDN && !nul; ++i) {
    for (DWORD j = 0; j < info->rgRDN[i].cRDNAttr; ++j) {
      const CERT_RDN_ATTR& attribute = info->rgRDN[i].rgRDNAttr[j];
      const size_t length = attribute.Value.cbData / sizeof(wchar_t);
      if (length < terminator) {
        nul = true;
        break;
      }
      const std::wstring value(reinterpret_cast<const wchar_t*>(attribute.Value.pbData),
                               length - terminator);
      nul = nul || value.find(L'\0') != std::wstring::npos;
      if (std::strcmp(attribute.pszObjId, szOID_COMMON_NAME) == 0 && ++commonNames == 1)
        names.commonName = value;
    }
  }
  ::LocalFree(info);
  if (commonNames != 1) names.commonName.clear();
  names.subject = SubjectText(subject);
  names.unreadable = nul || names.subject.empty();
  return names;
}

bool SignerEntryMatches(const std::string& entry, const SignerNames& names,
                        const std::string& fingerprint) {
  std::string lower = entry;  // "sha256:" and hex digits are ASCII
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.compare(0, 7, "sha256:") == 0) return lower.size() > 7 && lower == fingerprint;
  std::wstring wide;
  if (names.unreadable || !FromUtf8(entry, wide) || wide.empty()) return false;
  const std::wstring& name = wide.find(L'=') != std::wstring::npos ? names.subject
                                                                    : names.commonName;
  return !name.empty() && wide == name;
}

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
    } else if (!SignerIsPinned(leaf, signers)) {
      result = ProgramCheck::SignerNotPinned;
    }
  }
  trust.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
  return result;
}

}  // namespace platform

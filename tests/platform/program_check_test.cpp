// The check a downloaded program passes before it is started: its format, its signature and
// signer (Windows), its digest, and the hold that keeps it unchanged until it has started.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/program_check.h"
#ifdef _WIN32
#include "platform/program_check_win32.h"
#endif
#include "tests/support/sha256.h"
#include "tests/support/temp_dir.h"

using platform::HeldFile;
using platform::ProgramCheck;
using platform::ProgramPolicy;
using testing_support::ReadFile;
using testing_support::UniqueName;
using testing_support::WriteFile;

namespace {

// A file of these bytes in the temporary folder, deleted with the object.
struct TempFile {
  explicit TempFile(const std::string& bytes) : path(UniqueName("check") + ".exe") {
    EXPECT_TRUE(WriteFile(path, bytes));
  }
  ~TempFile() { platform::RemoveFile(path); }
  std::string path;
};

ProgramCheck Check(const std::string& path, const ProgramPolicy& policy) {
  HeldFile file;
  if (!file.Open(path)) return ProgramCheck::Unreadable;
  return platform::CheckProgram(file, policy);
}

// The smallest header that passes the PE test: "MZ", e_lfanew, then "PE\0\0" and the machine.
std::string PeHeader(uint32_t peOffset, uint16_t machine, size_t size = 256) {
  std::string bytes(size, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  for (int i = 0; i < 4; ++i) bytes[0x3c + i] = static_cast<char>(peOffset >> (8 * i));
  if (uint64_t{peOffset} + 6 <= size) {
    bytes.replace(peOffset, 4, std::string("PE\0\0", 4));
    bytes[peOffset + 4] = static_cast<char>(machine & 0xff);
    bytes[peOffset + 5] = static_cast<char>(machine >> 8);
  }
  return bytes;
}

TEST(ProgramCheck, WindowsProgramFormatIsReadFromTheHeaders) {
  struct Case {
    const char* what;
    std::string bytes;
    bool program;
  } cases[] = {
      {"AMD64", PeHeader(0x80, 0x8664), true},
      {"I386", PeHeader(0x80, 0x014c), true},
      {"ARM64 is not ours", PeHeader(0x80, 0xaa64), false},
      {"PE signature past the end", PeHeader(0x400, 0x8664), false},
      {"e_lfanew inside the DOS header", PeHeader(0x10, 0x8664), false},
      {"e_lfanew near 4 GiB", PeHeader(0xfffffffe, 0x8664), false},
      {"an HTML block page", "<html><body>Please log in</body></html>" + std::string(200, ' '),
       false},
      {"MZ alone", "MZ", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    TempFile file(c.bytes);
    HeldFile held;
    ASSERT_TRUE(held.Open(file.path)) << c.what;
    EXPECT_EQ(platform::IsWindowsProgram(held), c.program) << c.what;
  }
}

TEST(ProgramCheck, DigestIsTheFilesSha256AndThePinDecides) {
  const std::string body = std::string(200000, 'x') + "end";
  TempFile file(body);
  HeldFile held;
  ASSERT_TRUE(held.Open(file.path));
  const std::string digest = platform::Sha256Hex(held);
  EXPECT_EQ(digest, testing_support::Sha256Hex(body));
  TempFile abc("abc");
  HeldFile small;
  ASSERT_TRUE(small.Open(abc.path));
  EXPECT_EQ(platform::Sha256Hex(small),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ProgramCheck, PinListSplitsOnSemicolonsAndDropsBlanks) {
  EXPECT_EQ(platform::SplitPinList(""), std::vector<std::string>());
  EXPECT_EQ(platform::SplitPinList(" A Publisher ; ;sha256:AB12;"),
            (std::vector<std::string>{"A Publisher", "sha256:AB12"}));
}

TEST(ProgramCheck, MissingFileIsUnreadable) {
  EXPECT_EQ(Check(UniqueName("missing"), ProgramPolicy()), ProgramCheck::Unreadable);
}

#ifdef _WIN32

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Programs signed at build time: by the pinned test publisher, by another, and not at all.
class SignedProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signedProgram = Env("VANTREO_SIGNED_PROGRAM");
    otherProgram = Env("VANTREO_OTHER_SIGNED_PROGRAM");
    unsignedProgram = Env("VANTREO_UNSIGNED_PROGRAM");
    ASSERT_FALSE(ReadFile(signedProgram).empty()) << signedProgram;
    ASSERT_FALSE(ReadFile(otherProgram).empty()) << otherProgram;
    ASSERT_FALSE(ReadFile(unsignedProgram).empty()) << unsignedProgram;
    pinned.signers = {Env("VANTREO_TEST_SIGNER")};
  }
  std::string signedProgram, otherProgram, unsignedProgram;
  ProgramPolicy pinned;
};

TEST_F(SignedProgramTest, OnlyAnIntactSignatureOfAPinnedPublisherPasses) {
  EXPECT_EQ(Check(signedProgram, pinned), ProgramCheck::Ok);
  EXPECT_EQ(Check(otherProgram, pinned), ProgramCheck::SignerNotPinned);
  EXPECT_EQ(Check(unsignedProgram, pinned), ProgramCheck::Unsigned);
  // An empty pin list takes any valid signature, never none.
  EXPECT_EQ(Check(otherProgram, ProgramPolicy()), ProgramCheck::Ok);
  EXPECT_EQ(Check(unsignedProgram, ProgramPolicy()), ProgramCheck::Unsigned);
  ProgramPolicy unchecked;
  unchecked.verifySignature = false;
  EXPECT_EQ(Check(unsignedProgram, unchecked), ProgramCheck::Ok);

  std::string bytes = ReadFile(signedProgram);
  bytes[bytes.size() / 3] ^= 0x01;  // inside the code, covered by the signature
  TempFile changed(bytes);
  EXPECT_EQ(Check(changed.path, pinned), ProgramCheck::BadSignature);
  TempFile page("<html>" + std::string(5000, 'a') + "</html>");
  EXPECT_EQ(Check(page.path, pinned), ProgramCheck::NotAProgram);
}

TEST_F(SignedProgramTest, CertificateFingerprintPinsAsWellAsTheSubject) {
  const std::string der = ReadFile(Env("VANTREO_TEST_SIGNER_DER"));
  ASSERT_FALSE(der.empty());
  ProgramPolicy byFingerprint;
  byFingerprint.signers = {"Somebody", "SHA256:" + testing_support::Sha256Hex(der)};
  EXPECT_EQ(Check(signedProgram, byFingerprint), ProgramCheck::Ok);
  EXPECT_EQ(Check(otherProgram, byFingerprint), ProgramCheck::SignerNotPinned);
}

// Entries with '=' are whole subjects, others common names; both compare whole and exactly, as
// UTF-16 (pins are UTF-8), so that no look-alike or code page conversion passes for a pin.
TEST_F(SignedProgramTest, SignerPinsCompareWholeNamesExactly) {
  const std::string fullwidth = Env("VANTREO_FULLWIDTH_PROGRAM");  // CN=Ｖantreo Ltd
  const std::string company = Env("VANTREO_COMPANY_PROGRAM");  // C=CN, O=Vantreo Ltd, CN=<signer>
  const std::string signer = Env("VANTREO_TEST_SIGNER");
  struct Case {
    std::string program;
    std::string pin;
    ProgramCheck expected;
  } cases[] = {
      {company, "CN=" + signer + ", O=Vantreo Ltd, C=CN", ProgramCheck::Ok},
      {company, signer, ProgramCheck::Ok},
      {company, "CN=" + signer, ProgramCheck::SignerNotPinned},
      {company, "CN=" + signer + ", O=Vantreo Ltd", ProgramCheck::SignerNotPinned},
      {company, "C=CN, O=Vantreo Ltd, CN=" + signer, ProgramCheck::SignerNotPinned},
      {company, "Vantreo Ltd", ProgramCheck::SignerNotPinned},
      {signedProgram, "CN=" + signer, ProgramCheck::Ok},
      {signedProgram, "vantreo test publisher", ProgramCheck::SignerNotPinned},
      {fullwidth, u8"Ｖantreo Ltd", ProgramCheck::Ok},
      {fullwidth, u8"CN=Ｖantreo Ltd", ProgramCheck::Ok},
      {fullwidth, "Vantreo Ltd", ProgramCheck::SignerNotPinned},
      {fullwidth, "\xA3\xD6" "antreo Ltd", ProgramCheck::SignerNotPinned},  // code page 936
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(ReadFile(c.program).empty()) << c.program;
    ProgramPolicy policy;
    policy.signers = {c.pin};
    EXPECT_EQ(Check(c.program, policy), c.expected) << c.program << " pinned as " << c.pin;
  }
}

// A subject encoded here, as a certificate would carry it; values are UTF-16 with lengths.
std::vector<BYTE> EncodedName(const std::vector<std::pair<const char*, std::wstring>>& rdns) {
  std::vector<CERT_RDN_ATTR> attributes(rdns.size());
  std::vector<CERT_RDN> parts(rdns.size());
  for (size_t i = 0; i < rdns.size(); ++i) {
    attributes[i].pszObjId = const_cast<char*>(rdns[i].first);
    attributes[i].dwValueType = CERT_RDN_UTF8_STRING;
    attributes[i].Value.cbData = static_cast<DWORD>(rdns[i].second.size() * sizeof(wchar_t));
    attributes[i].Value.pbData =
        reinterpret_cast<BYTE*>(const_cast<wchar_t*>(rdns[i].second.data()));
    parts[i] = {1, &attributes[i]};
  }
  CERT_NAME_INFO info = {static_cast<DWORD>(parts.size()), parts.data()};
  DWORD size = 0;
  EXPECT_TRUE(::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, &info, 0, nullptr,
                                    nullptr, &size));
  std::vector<BYTE> bytes(size);
  EXPECT_TRUE(::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, &info, 0, nullptr,
                                    bytes.data(), &size));
  bytes.resize(size);
  return bytes;
}

TEST(SignerNames, ANulAnywhereOrTwoCommonNamesPinNoName) {
  const std::string fingerprint = "sha256:00ff";
  const char* const kCn = szOID_COMMON_NAME;
  const char* const kCountry = szOID_COUNTRY_NAME;
  const std::wstring nulInName(L"Vantreo Ltd\0x", 13);
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, std::wstring>> rdns;
    std::string pin;
    bool matches;
  } cases[] = {
      {"the common name", {{kCountry, L"CN"}, {kCn, L"Vantreo Ltd"}}, "Vantreo Ltd", true},
      {"the whole subject, from the common name on",
       {{kCountry, L"CN"}, {kCn, L"Vantreo Ltd"}}, "CN=Vantreo Ltd, C=CN", true},
      {"a NUL in the common name", {{kCn, nulInName}}, "Vantreo Ltd", false},
      {"a NUL elsewhere in the subject",
       {{szOID_ORGANIZATION_NAME, std::wstring(L"Other\0", 6)}, {kCn, L"Vantreo Ltd"}},
       "Vantreo Ltd", false},
      {"two common names", {{kCn, L"Vantreo Ltd"}, {kCn, L"Other"}}, "Vantreo Ltd", false},
      {"the fingerprint, whatever the names", {{kCn, nulInName}}, "SHA256:00FF", true},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> encoded = EncodedName(c.rdns);
    const CERT_NAME_BLOB blob = {static_cast<DWORD>(encoded.size()), encoded.data()};
    const platform::SignerNames names = platform::SignerNamesOf(blob);
    EXPECT_EQ(platform::SignerEntryMatches(c.pin, names, fingerprint), c.matches) << c.what;
  }
}

TEST_F(SignedProgramTest, SignedProgramWithTheWrongDigestIsRefused) {
  ProgramPolicy policy = pinned;
  policy.sha256Hex = testing_support::Sha256Hex(ReadFile(signedProgram));
  for (char& c : policy.sha256Hex) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(Check(signedProgram, policy), ProgramCheck::Ok);
  policy.sha256Hex = testing_support::Sha256Hex(ReadFile(otherProgram));
  policy.signers.clear();
  EXPECT_EQ(Check(signedProgram, policy), ProgramCheck::HashMismatch);
}

TEST(HeldFileTest, NobodyWritesDeletesOrRenamesAHeldFile) {
  TempFile file(PeHeader(0x80, 0x8664));
  {
    HeldFile held;
    ASSERT_TRUE(held.Open(file.path));
    EXPECT_EQ(std::fopen(file.path.c_str(), "r+b"), nullptr) << "a writer must be refused";
    EXPECT_FALSE(platform::RemoveFile(file.path));
    EXPECT_NE(std::rename(file.path.c_str(), (file.path + ".moved").c_str()), 0);
    std::FILE* reader = std::fopen(file.path.c_str(), "rb");
    EXPECT_NE(reader, nullptr) << "readers (the system's loader) are welcome";
    if (reader) std::fclose(reader);
  }
  std::FILE* writer = std::fopen(file.path.c_str(), "r+b");
  EXPECT_NE(writer, nullptr) << "the hold ends with the object";
  if (writer) std::fclose(writer);
}

#else

TEST(ProgramCheck, NativeProgramsAreElfImagesAndScripts) {
  EXPECT_EQ(Check("/bin/sh", ProgramPolicy()), ProgramCheck::Ok);
  TempFile script("#!/bin/sh\nexit 0\n");
  EXPECT_EQ(Check(script.path, ProgramPolicy()), ProgramCheck::Ok);
  TempFile windows(PeHeader(0x80, 0x8664));
  EXPECT_EQ(Check(windows.path, ProgramPolicy()), ProgramCheck::NotAProgram);
  ProgramPolicy pinned;
  pinned.sha256Hex = testing_support::Sha256Hex("#!/bin/sh\nexit 1\n");
  EXPECT_EQ(Check(script.path, pinned), ProgramCheck::HashMismatch);
}

#endif

}  // namespace

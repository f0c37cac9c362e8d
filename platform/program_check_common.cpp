// The parts of the program check that read bytes the same way on every platform.
#include <cctype>
#include <cstring>

#include "build_config.h"
#include "platform/program_check.h"

namespace platform {

namespace {

constexpr uint32_t kPeOffsetField = 0x3c;  // e_lfanew in the DOS header
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineI386 = 0x014c;

uint32_t LittleEndian(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

const char* ProgramCheckText(ProgramCheck check) {
  switch (check) {
    case ProgramCheck::Ok: return "checked";
    case ProgramCheck::Unreadable: return "the downloaded file could not be read";
    case ProgramCheck::NotAProgram: return "the downloaded file is not a program";
    case ProgramCheck::Unsigned: return "the downloaded program is not signed";
    case ProgramCheck::BadSignature: return "the downloaded program's signature is not valid";
    case ProgramCheck::SignerNotPinned:
      return "the downloaded program is signed by another publisher";
    case ProgramCheck::HashMismatch: return "the downloaded program's SHA-256 is not the pinned one";
  }
  return "refused";
}

std::string HexText(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

ProgramPolicy BuildProgramPolicy() {
  ProgramPolicy policy;
  policy.verifySignature = VANTREO_VERIFY_SIGNATURE != 0;
  policy.signers = SplitPinList(VANTREO_SETUP_SIGNERS);
  policy.sha256Hex = Trim(VANTREO_SETUP_SHA256);
  return policy;
}

std::vector<std::string> SplitPinList(const std::string& list) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    const std::string entry = Trim(list.substr(start, end - start));
    if (!entry.empty()) entries.push_back(entry);
    start = end + 1;
  }
  return entries;
}

bool IsWindowsProgram(const HeldFile& file) {
  unsigned char dos[64];
  if (file.ReadAt(0, dos, sizeof dos) != static_cast<long>(sizeof dos)) return false;
  if (dos[0] != 'M' || dos[1] != 'Z') return false;
  const uint32_t peOffset = LittleEndian(dos + kPeOffsetField, 4);
  unsigned char pe[6];
  // The signature and the machine field must lie inside the file.
  if (peOffset < sizeof dos || peOffset > file.Size() - sizeof pe) return false;
  if (file.ReadAt(peOffset, pe, sizeof pe) != static_cast<long>(sizeof pe)) return false;
  if (std::memcmp(pe, "PE\0\0", 4) != 0) return false;
  const uint32_t machine = LittleEndian(pe + 4, 2);
  return machine == kMachineAmd64 || machine == kMachineI386;
}

ProgramCheck CheckProgram(const HeldFile& file, const ProgramPolicy& policy,
                          ProgramFacts* facts) {
  ProgramFacts seen;
  if (facts == nullptr) facts = &seen;
  if (!file.IsOpen()) return ProgramCheck::Unreadable;
  if (!IsPlatformProgram(file)) return ProgramCheck::NotAProgram;
  if (policy.verifySignature) {
    const ProgramCheck signature = CheckSignature(file, policy.signers, &facts->signer);
    if (signature != ProgramCheck::Ok) return signature;
  }
  if (!policy.sha256Hex.empty()) {
    const std::string digest = Sha256Hex(file);
    facts->sha256 = digest;
    if (digest.empty()) return ProgramCheck::Unreadable;
    std::string pinned = policy.sha256Hex;
    for (char& c : pinned) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (digest != pinned) return ProgramCheck::HashMismatch;
  }
  return ProgramCheck::Ok;
}

}  // namespace platform

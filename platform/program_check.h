// Deciding whether a downloaded file may be started: it must be a program of this platform,
// carry a valid signature from a pinned publisher (Windows) and, when a digest is pinned, have
// that SHA-256. The file is checked through a handle that nobody else may write to or delete
// while it is held, so the file that was checked is the file that is started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What the check found; every value but Ok refuses the file.
enum class ProgramCheck {
  Ok,
  Unreadable,      // the file could not be opened for the check, or read
  NotAProgram,     // not an executable of this platform (an HTML page, say)
  Unsigned,        // no signature at all
  BadSignature,    // a signature that does not match the file, or that the system rejects
  SignerNotPinned, // a valid signature by a publisher that is not on the pin list
  HashMismatch,    // the file's SHA-256 is not the pinned one
};

// A short English reason, for logs and the console.
const char* ProgramCheckText(ProgramCheck check);

// What a downloaded program must satisfy. Signers are UTF-8 text: "sha256:<hex>" of the whole
// certificate, a whole subject when the entry holds '=' ("CN=Vantreo Ltd, O=Vantreo Ltd, C=CN",
// as the system writes it from the common name on), else the subject's common name alone;
// names compare exactly, as the system's UTF-16 text. An empty list takes any valid
// signature. An empty sha256Hex pins no digest.
struct ProgramPolicy {
  bool verifySignature = true;
  std::vector<std::string> signers;
  std::string sha256Hex;
};

// The policy this build was configured with.
ProgramPolicy BuildProgramPolicy();

// Splits a ';' list into its non-empty, trimmed entries.
std::vector<std::string> SplitPinList(const std::string& list);

// A file opened for reading that, while this object lives, nobody may open for writing or
// delete or rename (Windows). On POSIX, where no such lock exists, it is a plain read handle.
class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile() { Close(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return handle_ != kNone; }
  intptr_t Handle() const { return handle_; }
  const std::string& Path() const { return path_; }
  uint64_t Size() const;
  // Reads up to `count` bytes at `offset`; the count read, or -1.
  long ReadAt(uint64_t offset, void* buffer, size_t count) const;

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
  std::string path_;
};

// Whether the held file is an executable of this platform: a PE image for AMD64 or I386 on
// Windows; an ELF image or a script starting with "#!" elsewhere.
bool IsPlatformProgram(const HeldFile& file);
// The PE test on its own, open to the tests of both builds.
bool IsWindowsProgram(const HeldFile& file);

// Bytes as lower-case hex digits.
std::string HexText(const unsigned char* bytes, size_t count);

// Lower-case hex SHA-256 of the held file, or "" when it cannot be read.
std::string Sha256Hex(const HeldFile& file);

// What the check saw of a file, for the log: its signer's subject and its SHA-256, each ""
// when the check did not get that far or did not look.
struct ProgramFacts {
  std::string signer;
  std::string sha256;
};

// The whole check, in order: the format, the signature and its signer, the digest. `facts`
// (when given) receives what was seen.
ProgramCheck CheckProgram(const HeldFile& file, const ProgramPolicy& policy,
                          ProgramFacts* facts = nullptr);

// Windows: the signature alone (WinVerifyTrust and the signer's pin); the signer's subject goes
// to `signer` when there is a valid signature. Elsewhere: Ok (programs of that platform carry
// no such signatures).
ProgramCheck CheckSignature(const HeldFile& file, const std::vector<std::string>& signers,
                            std::string* signer = nullptr);

}  // namespace platform

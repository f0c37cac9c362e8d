#include "tasks/mb_compare.h"

#include "platform/codepage.h"

namespace {

// The character at `i` as one number, `i` moved behind it.
unsigned NextCharacter(const std::string& text, size_t& i) {
  unsigned char byte = static_cast<unsigned char>(text[i++]);
  if (platform::IsLeadByte(byte) && i < text.size()) {
    return (static_cast<unsigned>(byte) << 8) | static_cast<unsigned char>(text[i++]);
  }
  return (byte >= 'A' && byte <= 'Z') ? byte + ('a' - 'A') : byte;
}

}  // namespace

int CompareNoCaseMultibyte(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    unsigned left = NextCharacter(a, i);
    unsigned right = NextCharacter(b, j);
    if (left != right) return left < right ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

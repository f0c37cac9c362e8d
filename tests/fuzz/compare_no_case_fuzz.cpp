// CompareNoCase on any two texts (the input cut at its first zero byte): an order (each pair
// answered with opposite signs both ways, zero with itself), equal exactly when the texts are
// equal with ASCII letters folded, and never folding a byte of a longer UTF-8 character.
#include <cstdint>
#include <string>

#include "platform/codepage.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::string FoldAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

int Sign(int value) { return (value > 0) - (value < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const size_t cut = input.find('\0');
  const std::string a = input.substr(0, cut);
  const std::string b = cut == std::string::npos ? std::string() : input.substr(cut + 1);

  const int forward = platform::CompareNoCase(a, b);
  FUZZ_CHECK(Sign(forward) == -Sign(platform::CompareNoCase(b, a)));
  FUZZ_CHECK(platform::CompareNoCase(a, a) == 0);
  FUZZ_CHECK((forward == 0) == (FoldAscii(a) == FoldAscii(b)));
  // Folding changes no order but that of letters: the folded texts compare the same way.
  FUZZ_CHECK(Sign(forward) == Sign(FoldAscii(a).compare(FoldAscii(b))));
  return 0;
}

// AnsiToUtf8 on any bytes: well-formed UTF-8 always, ASCII kept in place, the text ended by
// its first zero byte, and for valid code-page text exactly what a whole-string conversion
// gives.
#include <iconv.h>

#include <cstdint>
#include <string>

#include "tasks/url_utils.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// True when `text` is well-formed UTF-8 without zero bytes or UTF-16 surrogates.
bool IsWellFormedUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
    if (length == 0 || lead == 0 || i + length > text.size()) return false;
    uint32_t unit = length == 1 ? lead : length == 2 ? (lead & 0x1F) : (lead & 0x0F);
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      unit = (unit << 6) | (next & 0x3F);
    }
    if ((length == 2 && unit < 0x80) || (length == 3 && unit < 0x800)) return false;  // overlong
    if (unit >= 0xD800 && unit <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

// The whole text converted at once by iconv; false when it is not valid code-page text.
bool ConvertWhole(const std::string& text, std::string& out) {
  iconv_t converter = iconv_open("UTF-8", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = text;
  out.assign(in.size() * 3 + 4, '\0');
  char* inPtr = in.empty() ? nullptr : &in[0];
  char* outPtr = &out[0];
  size_t inLeft = in.size();
  size_t outLeft = out.size();
  size_t result = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const std::string output = AnsiToUtf8(input);
  FUZZ_CHECK(IsWellFormedUtf8(output));

  const std::string text = input.substr(0, input.find('\0'));
  // A double-byte character gives at most three bytes, a single byte one.
  FUZZ_CHECK(output.size() <= text.size() * 3 / 2 + 1);
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) FUZZ_CHECK(output == text);

  // Text of whole double-byte characters that the code page maps converts as iconv does it.
  std::string whole;
  bool pairsOnly = true;
  for (size_t i = 0; i < text.size(); i += static_cast<unsigned char>(text[i]) < 0x80 ? 1 : 2) {
    if (static_cast<unsigned char>(text[i]) >= 0x80 &&
        (i + 1 >= text.size() || static_cast<unsigned char>(text[i]) == 0x80 ||
         static_cast<unsigned char>(text[i]) == 0xFF))
      pairsOnly = false;
  }
  if (pairsOnly && ConvertWhole(text, whole)) FUZZ_CHECK(output == whole);
  return 0;
}

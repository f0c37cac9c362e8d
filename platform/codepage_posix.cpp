#include "platform/codepage.h"

#include <iconv.h>

namespace platform {

// POSIX has no ANSI code page: the program's texts are GBK, so GBK it is.
bool IsLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

bool DoubleByteToUtf16(unsigned char lead, unsigned char trail, uint16_t& unit) {
  iconv_t converter = iconv_open("UTF-16LE", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  unsigned char out[4] = {};
  char* inPtr = in;
  char* outPtr = reinterpret_cast<char*>(out);
  size_t inLeft = sizeof in;
  size_t outLeft = sizeof out;
  size_t result = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(converter);
  // Exactly one UTF-16 unit from both bytes, as MultiByteToWideChar is asked for.
  if (result == static_cast<size_t>(-1) || inLeft != 0 || outLeft != 2) return false;
  unit = static_cast<uint16_t>(out[0] | (out[1] << 8));
  return true;
}

}  // namespace platform

#include "platform/codepage.h"

#include <windows.h>

namespace platform {

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

bool DoubleByteToUtf16(unsigned char lead, unsigned char trail, uint16_t& unit) {
  const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  wchar_t wide = 0;
  if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes, 2, &wide, 1) != 1) return false;
  unit = static_cast<uint16_t>(wide);
  return true;
}

}  // namespace platform

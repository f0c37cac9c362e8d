// The system's narrow code page (936 for this program's users).
#pragma once

#include <cstdint>

namespace platform {

// True when the byte starts a double-byte character of the system code page.
bool IsLeadByte(unsigned char byte);

// Converts one double-byte character to its UTF-16 unit; false when it has none.
bool DoubleByteToUtf16(unsigned char lead, unsigned char trail, uint16_t& unit);

}  // namespace platform

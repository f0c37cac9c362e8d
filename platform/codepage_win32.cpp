#include "platform/codepage.h"
#include "platform/text_win32.h"

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

std::wstring AnsiToWide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

std::string WideToAnsi(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], length, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(length - 1));
  return narrow;
}

}  // namespace platform

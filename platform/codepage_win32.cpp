#include "platform/codepage.h"
#include "platform/text_win32.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace platform {

std::wstring Utf8ToWide(const char* text) {
  const int size = text == nullptr ? 0 : static_cast<int>(std::strlen(text));
  if (size == 0) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text, size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, size, &wide[0], length);
  return wide;
}

std::wstring Utf8ToWide(const std::string& text) { return Utf8ToWide(text.c_str()); }

std::string WideToUtf8(const wchar_t* text) {
  const int size = text == nullptr ? 0 : static_cast<int>(std::wcslen(text));
  if (size == 0) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, size, &narrow[0], length, nullptr, nullptr);
  return narrow;
}

std::string WideToUtf8(const std::wstring& text) { return WideToUtf8(text.c_str()); }

int CompareNoCase(const std::string& a, const std::string& b) {
  const std::wstring left = Utf8ToWide(a);
  const std::wstring right = Utf8ToWide(b);
  const int result = CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()),
                                          right.c_str(), static_cast<int>(right.size()), TRUE);
  return result == CSTR_LESS_THAN ? -1 : (result == CSTR_GREATER_THAN ? 1 : 0);
}

}  // namespace platform

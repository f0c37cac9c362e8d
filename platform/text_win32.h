// Windows only: the program's UTF-8 text to and from the system's UTF-16, at every Win32 call
// that takes or returns text.
#pragma once

#include <string>

namespace platform {

// UTF-8 text as UTF-16; ends at the first zero byte (null: ""). Bytes that are not UTF-8
// become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);
std::wstring Utf8ToWide(const char* text);
// UTF-16 text as UTF-8; ends at the first zero unit (null: ""). A lone surrogate becomes
// U+FFFD.
std::string WideToUtf8(const std::wstring& text);
std::string WideToUtf8(const wchar_t* text);

}  // namespace platform

// Windows only: text of the system code page to and from the system's wide strings.
#pragma once

#include <string>

namespace platform {

// `text` in the system code page as UTF-16; "" when it cannot be converted.
std::wstring AnsiToWide(const std::string& text);
// Wide text in the system code page; "" when it cannot be converted.
std::string WideToAnsi(const std::wstring& text);

}  // namespace platform

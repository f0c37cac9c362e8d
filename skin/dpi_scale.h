// The density (dots per inch) a window is shown at, and lengths of the 100 % layout scaled to it.
#pragma once

#include <windows.h>

// The density the 100 % art and layout are drawn for.
constexpr UINT kBaseDpi = 96;

// The dots per inch of the monitor `window` is on: GetDpiForWindow where the system has it
// (Windows 10 1607 and later), else the screen's LOGPIXELSX.
UINT WindowDpi(HWND window);

// `length` of the 100 % layout at `dpi`, rounded half away from zero (MulDiv's rounding, which
// tools/make-art.sh uses for the larger sets too).
inline int ScaleToDpi(int length, UINT dpi) {
  return ::MulDiv(length, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

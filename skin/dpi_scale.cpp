#include "skin/dpi_scale.h"

#include "mfc/scoped_win.h"
#include "platform/system_library_win32.h"

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

}  // namespace

UINT WindowDpi(HWND window) {
  // Looked up at run time: an import of it would keep the program from starting on Windows 7
  // and 8, which lack it.
  static const auto getDpiForWindow =
      platform::SystemFunction<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
  if (getDpiForWindow && window) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi > 0) return dpi;
  }
  ScopedGetDC screen(nullptr);
  const int dpi = screen.get() ? ::GetDeviceCaps(screen, LOGPIXELSX) : 0;
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

// status_watch.exe WIZARD: follows the wizard's status line, progress bar and start button
// from inside the Wine prefix, and prints a line whenever one of them changes:
//
//   MILLISECONDS<TAB>STATUS<TAB>BAR<TAB>START
//
// BAR is the progress strip's rectangle in the wizard's client area ("l,t,r,b", or "-" while
// none shows) and START is 1 when the start button is enabled. It looks every 5 ms and reads
// the window text the system keeps for the control (no message to the wizard), so a line that
// shows for a moment is not missed, and it ends when the wizard's window is gone. Nothing is
// read while the wizard is minimised. Texts are UTF-8, whatever the system code page.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kStatusId = 1004;
constexpr int kStartId = 1;
constexpr int kStripId = 0;  // the progress strip is a child dialog without an id
constexpr DWORD kLookMs = 5;

std::string StoredText(HWND control) {
  wchar_t wide[512] = {};
  int length = ::InternalGetWindowText(control, wide, 512);
  char text[1024] = {};
  ::WideCharToMultiByte(CP_UTF8, 0, wide, length, text, sizeof(text) - 1, nullptr, nullptr);
  return text;
}

std::string StripRect(HWND wizard) {
  HWND strip = ::GetDlgItem(wizard, kStripId);
  if (!strip || !::IsWindowVisible(strip)) return "-";
  RECT rect;
  ::GetWindowRect(strip, &rect);
  ::MapWindowPoints(nullptr, wizard, reinterpret_cast<POINT*>(&rect), 2);
  char text[64];
  std::snprintf(text, sizeof(text), "%ld,%ld,%ld,%ld", rect.left, rect.top, rect.right,
                rect.bottom);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: status_watch WIZARD\n");
    return 2;
  }
  HWND wizard = reinterpret_cast<HWND>(
      static_cast<uintptr_t>(std::strtoull(argv[1], nullptr, 0)));
  const DWORD start = ::GetTickCount();
  std::string last;
  for (;;) {
    HWND status = ::GetDlgItem(wizard, kStatusId);
    if (!status) break;  // the wizard's window is gone, or going
    // While minimised, or on its way in or out, the system moves the children about: what the
    // strip's rectangle says then is not the bar.
    if (::IsIconic(wizard)) {
      ::Sleep(kLookMs);
      continue;
    }
    std::string line = StoredText(status) + "\t" + StripRect(wizard) +
                       "\t" + (::IsWindowEnabled(::GetDlgItem(wizard, kStartId)) ? "1" : "0");
    if (line != last) {
      std::printf("%lu\t%s\n", ::GetTickCount() - start, line.c_str());
      std::fflush(stdout);
      last = line;
    }
    ::Sleep(kLookMs);
  }
  std::printf("gone\n");
  return 0;
}

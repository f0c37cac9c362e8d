// The keyboard focus cue of the skinned controls. The system's rule: the cue shows on the focused
// control once the keyboard has been used in the window (the dialog clears UISF_HIDEFOCUS and
// tells every control with WM_UPDATEUISTATE); a mouse user never sees it. Each control draws the
// cue on itself, so the skin, which prints the controls, shows it too.
#pragma once

#include <windows.h>

// The cue belongs on `control` now.
inline bool FocusCueShown(HWND control) {
  return ::GetFocus() == control &&
         !(::SendMessageW(control, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS);
}

// Messages after which a control must paint again: its cue came or went.
inline bool ChangesFocusCue(UINT message) {
  return message == WM_SETFOCUS || message == WM_KILLFOCUS || message == WM_UPDATEUISTATE;
}

// The cue: the system's dotted focus rectangle, `inset` pixels inside `rect`.
inline void DrawFocusCue(HDC dc, RECT rect, int inset) {
  ::InflateRect(&rect, -inset, -inset);
  ::SetTextColor(dc, RGB(0, 0, 0));
  ::SetBkColor(dc, RGB(255, 255, 255));
  ::DrawFocusRect(dc, &rect);
}

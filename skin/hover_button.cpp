#include "skin/hover_button.h"

#include "skin/focus_cue.h"

const CRuntimeClass CHoverButton::classCHoverButton = {"CHoverButton",
                                                       &CBitmapButton::classCBitmapButton};

namespace {

constexpr int kFrames = 3;  // normal, hover, pressed
constexpr DWORD kHoverTimeMs = 1;
constexpr UINT_PTR kToolId = 1;
constexpr int kFocusInset = 3;

}  // namespace

// The strip and the tooltip are members and go with the object.
CHoverButton::~CHoverButton() = default;

BOOL CHoverButton::LoadStrip(UINT bitmapId) {
  return SetStrip(ScopedBitmap(static_cast<HBITMAP>(::LoadImageW(
      AfxGetInstanceHandle(), MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS))));
}

BOOL CHoverButton::SetStrip(ScopedBitmap bitmap) {
  BITMAP info{};
  if (!bitmap.valid() || !::GetObjectW(bitmap.get(), sizeof(info), &info)) return FALSE;
  strip = std::move(bitmap);  // frees the previous strip
  frameWidth = info.bmWidth / kFrames;
  frameHeight = info.bmHeight;
  // The z-order is not frozen: the button also comes to the top of its siblings.
  SetWindowPos(nullptr, 0, 0, frameWidth, frameHeight, SWP_NOMOVE | SWP_NOOWNERZORDER);
  return TRUE;
}

void CHoverButton::EnsureTooltip() {
  if (tooltip.m_hWnd) return;
  if (tooltip.Create(this, 0)) tooltip.Activate(FALSE);
}

void CHoverButton::SetTip(const char* text, BOOL activate) {
  if (!text) return;
  EnsureTooltip();
  if (!tooltip.m_hWnd) return;
  if (tooltip.GetToolCount() == 0) {
    RECT rect;
    GetClientRect(&rect);
    tooltip.AddTool(this, text, &rect, kToolId);
  }
  tooltip.UpdateTipText(text, this, kToolId);
  tooltip.Activate(activate);
}

BOOL CHoverButton::PreTranslateMessage(MSG* msg) {
  EnsureTooltip();
  if (tooltip.m_hWnd) tooltip.RelayEvent(msg);
  // The dialog would take Enter on an owner-drawn button for its default button: this one is
  // meant. (Space the button handles itself.)
  if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN && msg->hwnd == m_hWnd) {
    if (IsWindowEnabled()) {
      ::SendMessageW(::GetParent(m_hWnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(), BN_CLICKED),
                     reinterpret_cast<LPARAM>(m_hWnd));
    }
    return TRUE;
  }
  return CBitmapButton::PreTranslateMessage(msg);
}

LRESULT CHoverButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CBitmapButton::WindowProc(message, wParam, lParam);
  if (ChangesFocusCue(message)) Invalidate(FALSE);
  return result;
}

void CHoverButton::DrawItem(DRAWITEMSTRUCT* item) {
  if (!strip.valid()) return;
  AutoDeleteDC memory(::CreateCompatibleDC(item->hDC));
  if (!memory.valid()) return;
  ScopedSelectObject select(memory, strip);
  // Pressed wins over hover. Disabled, focus and default have no frame of their own.
  int column = 0;
  if (item->itemState & ODS_SELECTED) {
    column = 2 * frameWidth;
  } else if (hovering) {
    column = frameWidth;
  }
  ::BitBlt(item->hDC, 0, 0, frameWidth, frameHeight, memory, column, 0, SRCCOPY);
  if (FocusCueShown(m_hWnd)) DrawFocusCue(item->hDC, item->rcItem, kFocusInset);
}

void CHoverButton::OnMouseMove(UINT flags, POINT point) {
  if (!tracking) {
    TRACKMOUSEEVENT request{};
    request.cbSize = sizeof(request);
    request.dwFlags = TME_HOVER | TME_LEAVE;
    request.hwndTrack = m_hWnd;
    request.dwHoverTime = kHoverTimeMs;
    tracking = ::_TrackMouseEvent(&request);
  }
  CBitmapButton::OnMouseMove(flags, point);
}

LRESULT CHoverButton::OnMouseHover(WPARAM, LPARAM) {
  hovering = TRUE;
  Invalidate(TRUE);
  return 0;
}

LRESULT CHoverButton::OnMouseLeave(WPARAM, LPARAM) {
  tracking = FALSE;
  hovering = FALSE;
  Invalidate(TRUE);
  return 0;
}

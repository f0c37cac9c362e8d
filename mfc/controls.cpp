#include "mfc/controls.h"

#include "mfc/winapp.h"
#include "platform/text_win32.h"

const CRuntimeClass CStatic::classCStatic = {"CStatic", &CWnd::classCWnd};
const CRuntimeClass CButton::classCButton = {"CButton", &CWnd::classCWnd};
const CRuntimeClass CBitmapButton::classCBitmapButton = {"CBitmapButton",
                                                         &CButton::classCButton};
const CRuntimeClass CToolTipCtrl::classCToolTipCtrl = {"CToolTipCtrl", &CWnd::classCWnd};

HBITMAP CStatic::SetBitmap(HBITMAP bitmap) {
  return reinterpret_cast<HBITMAP>(
      SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
}

HICON CStatic::SetIcon(HICON icon) {
  return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(icon)));
}

BOOL CStatic::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message != WM_DRAWITEM) return CWnd::OnChildNotify(message, wParam, lParam, result);
  DrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
  *result = TRUE;
  return TRUE;
}

BOOL CButton::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  if (message != WM_DRAWITEM) return CWnd::OnChildNotify(message, wParam, lParam, result);
  DrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
  *result = TRUE;
  return TRUE;
}

namespace {

HBITMAP LoadBitmapResource(UINT id) {
  if (id == 0) return nullptr;
  return static_cast<HBITMAP>(::LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id),
                                           IMAGE_BITMAP, 0, 0, 0));
}

}  // namespace

BOOL CBitmapButton::LoadBitmaps(UINT normalId, UINT selectedId, UINT focusId, UINT disabledId) {
  m_bitmap.reset(LoadBitmapResource(normalId));
  m_bitmapSel.reset(LoadBitmapResource(selectedId));
  m_bitmapFocus.reset(LoadBitmapResource(focusId));
  m_bitmapDisabled.reset(LoadBitmapResource(disabledId));
  return m_bitmap.valid();
}

void CBitmapButton::SizeToContent() {
  BITMAP info{};
  if (!m_bitmap.valid() || !::GetObjectW(m_bitmap.get(), sizeof(info), &info)) return;
  SetWindowPos(nullptr, 0, 0, info.bmWidth, info.bmHeight,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CBitmapButton::DrawItem(DRAWITEMSTRUCT* item) {
  HBITMAP bitmap = m_bitmap.get();
  if ((item->itemState & ODS_SELECTED) && m_bitmapSel.valid()) {
    bitmap = m_bitmapSel.get();
  } else if ((item->itemState & ODS_FOCUS) && m_bitmapFocus.valid()) {
    bitmap = m_bitmapFocus.get();
  } else if ((item->itemState & ODS_DISABLED) && m_bitmapDisabled.valid()) {
    bitmap = m_bitmapDisabled.get();
  }
  if (!bitmap) return;
  AutoDeleteDC memory(::CreateCompatibleDC(item->hDC));
  if (!memory.valid()) return;
  ScopedSelectObject select(memory, bitmap);
  const RECT& rect = item->rcItem;
  ::BitBlt(item->hDC, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, memory,
           0, 0, SRCCOPY);
}

bool CToolTipCtrl::Create(CWnd* parent, DWORD style) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);
  return CreateEx(0, "tooltips_class32", nullptr, WS_POPUP | style, CW_USEDEFAULT, CW_USEDEFAULT,
                  CW_USEDEFAULT, CW_USEDEFAULT, parent ? parent->m_hWnd : nullptr, nullptr);
}

namespace {

// The record size every common-controls version since 4.7 accepts.
TTTOOLINFOW MakeToolInfo(CWnd* window, UINT_PTR toolId, wchar_t* text) {
  TTTOOLINFOW info{};
  info.cbSize = TTTOOLINFOW_V2_SIZE;
  info.hwnd = window ? window->m_hWnd : nullptr;
  if (toolId == 0) {
    info.uFlags = TTF_IDISHWND;
    info.uId = reinterpret_cast<UINT_PTR>(info.hwnd);
  } else {
    info.uId = toolId;
  }
  info.hinst = nullptr;
  info.lpszText = text;
  return info;
}

}  // namespace

BOOL CToolTipCtrl::AddTool(CWnd* window, const char* text, const RECT* rect, UINT_PTR toolId) {
  std::wstring wide = platform::Utf8ToWide(text);
  TTTOOLINFOW info = MakeToolInfo(window, toolId, &wide[0]);
  if (rect) {
    info.rect = *rect;
  } else if (window) {
    window->GetClientRect(&info.rect);
  }
  return static_cast<BOOL>(SendMessage(TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info)));
}

void CToolTipCtrl::UpdateTipText(const char* text, CWnd* window, UINT_PTR toolId) {
  std::wstring wide = platform::Utf8ToWide(text);
  TTTOOLINFOW info = MakeToolInfo(window, toolId, &wide[0]);
  SendMessage(TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
}

void CToolTipCtrl::SetToolRect(CWnd* window, UINT_PTR toolId, const RECT& rect) {
  TTTOOLINFOW info = MakeToolInfo(window, toolId, nullptr);
  info.rect = rect;
  SendMessage(TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&info));
}

std::string CToolTipCtrl::GetText(CWnd* window, UINT_PTR toolId) const {
  wchar_t buffer[512] = {};
  TTTOOLINFOW info = MakeToolInfo(window, toolId, buffer);
  SendMessage(TTM_GETTEXTW, 0, reinterpret_cast<LPARAM>(&info));
  return platform::WideToUtf8(buffer);
}

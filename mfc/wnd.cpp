#include "mfc/wnd.h"

#include <map>
#include <mutex>

#include "mfc/winapp.h"
#include "platform/text_win32.h"

const CRuntimeClass CWnd::classCWnd = {"CWnd", nullptr};

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  for (const CRuntimeClass* type = this; type; type = type->m_pBaseClass) {
    if (type == base) return true;
  }
  return false;
}

namespace {

// Every attached window. Messages of a window arrive on the thread that created it, but
// objects of several threads share the map, so it is locked.
std::mutex& MapLock() {
  static std::mutex lock;
  return lock;
}
std::map<HWND, CWnd*>& HandleMap() {
  static std::map<HWND, CWnd*> map;
  return map;
}

// The message being handled on this thread, for CWnd::Default. Kept on the stack of Dispatch,
// so nothing is written into an object that a handler may have destroyed.
thread_local const MSG* currentMessage = nullptr;

}  // namespace

CWnd::~CWnd() {
  CWinApp* app = AfxGetApp();
  if (app && app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
  if (m_hWnd) {
    HWND window = m_hWnd;
    if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId()) {
      ::DestroyWindow(window);  // WM_NCDESTROY detaches us
    }
    if (m_hWnd) {
      UnsubclassWindow();
      Detach();
    }
  }
}

CWnd* CWnd::FromHandle(HWND window) {
  if (!window) return nullptr;
  std::lock_guard<std::mutex> guard(MapLock());
  auto found = HandleMap().find(window);
  return found == HandleMap().end() ? nullptr : found->second;
}

bool CWnd::Attach(HWND window) {
  if (!window || m_hWnd) return false;
  {
    std::lock_guard<std::mutex> guard(MapLock());
    if (!HandleMap().emplace(window, this).second) return false;  // another object owns it
  }
  m_hWnd = window;
  return true;
}

HWND CWnd::Detach() {
  HWND window = m_hWnd;
  if (window) {
    std::lock_guard<std::mutex> guard(MapLock());
    auto found = HandleMap().find(window);
    if (found != HandleMap().end() && found->second == this) HandleMap().erase(found);
  }
  m_hWnd = nullptr;
  return window;
}

bool CWnd::SubclassWindow(HWND window) {
  if (!::IsWindow(window) || !Attach(window)) return false;
  PreSubclassWindow();
  m_pfnSuper = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::StdWndProc)));
  return true;
}

bool CWnd::SubclassDlgItem(int id, CWnd* parent) {
  return parent && SubclassWindow(::GetDlgItem(parent->m_hWnd, id));
}

HWND CWnd::UnsubclassWindow() {
  if (!m_hWnd || !m_pfnSuper) return nullptr;
  auto current = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(m_hWnd, GWLP_WNDPROC));
  if (current != &CWnd::StdWndProc) return nullptr;
  ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
  m_pfnSuper = nullptr;
  return Detach();
}

bool CWnd::CreateEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                    int x, int y, int width, int height, HWND parent, HMENU menuOrId) {
  const std::wstring wideClass = platform::Utf8ToWide(className);
  const std::wstring wideName = platform::Utf8ToWide(windowName);
  HWND window = ::CreateWindowExW(exStyle, wideClass.c_str(),
                                  windowName ? wideName.c_str() : nullptr, style, x, y, width,
                                  height, parent, menuOrId, AfxGetInstanceHandle(), nullptr);
  if (!window) return false;
  if (!SubclassWindow(window)) {
    ::DestroyWindow(window);
    return false;
  }
  return true;
}

bool CWnd::DestroyWindow() {
  if (!m_hWnd) return false;
  return ::DestroyWindow(m_hWnd) != FALSE;
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

BOOL CWnd::WalkPreTranslateTree(HWND stop, MSG* msg) {
  for (HWND window = msg->hwnd; window; window = ::GetParent(window)) {
    CWnd* object = FromHandle(window);
    if (object && object->PreTranslateMessage(msg)) return TRUE;
    if (window == stop) break;
  }
  return FALSE;
}

std::string CWnd::GetWindowText() const { return WindowTextOf(m_hWnd); }

void CWnd::SetWindowText(const char* text) {
  ::SetWindowTextW(m_hWnd, platform::Utf8ToWide(text).c_str());
}

void CWnd::SetDlgItemText(int id, const char* text) {
  ::SetDlgItemTextW(m_hWnd, id, platform::Utf8ToWide(text).c_str());
}

std::string WindowTextOf(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = ::GetWindowTextW(window, &text[0], length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return platform::WideToUtf8(text);
}

void CWnd::ScreenToClient(RECT* rect) const {
  ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(rect), 2);
}

void CWnd::ClientToScreen(RECT* rect) const {
  ::MapWindowPoints(m_hWnd, nullptr, reinterpret_cast<POINT*>(rect), 2);
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT flags) {
  DWORD style = GetStyle();
  DWORD changed = (style & ~remove) | add;
  if (style == changed) return FALSE;
  ::SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(changed));
  if (flags) {
    SetWindowPos(nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED | flags);
  }
  return TRUE;
}

void CWnd::CenterWindow() {
  RECT window;
  GetWindowRect(&window);
  int width = window.right - window.left;
  int height = window.bottom - window.top;
  RECT area;
  RECT center;
  if (GetStyle() & WS_CHILD) {
    HWND parent = GetParent();
    ::GetClientRect(parent, &area);
    ::MapWindowPoints(parent, nullptr, reinterpret_cast<POINT*>(&area), 2);
    center = area;
  } else {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    ::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    area = monitor.rcWork;
    center = area;
    HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) ::GetWindowRect(owner, &center);
  }
  int x = (center.left + center.right) / 2 - width / 2;
  int y = (center.top + center.bottom) / 2 - height / 2;
  // Keep the window on its work area.
  if (x + width > area.right) x = area.right - width;
  if (x < area.left) x = area.left;
  if (y + height > area.bottom) y = area.bottom - height;
  if (y < area.top) y = area.top;
  if (GetStyle() & WS_CHILD) {
    POINT origin{x, y};
    ::ScreenToClient(GetParent(), &origin);
    x = origin.x;
    y = origin.y;
  }
  SetWindowPos(nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  // Mouse positions are signed 16-bit client coordinates.
  POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  switch (message) {
    case WM_COMMAND:
      if (OnCommand(wParam, lParam)) return 0;
      break;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (OnNotify(wParam, lParam, &result)) return result;
      break;
    }
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
      LRESULT result = 0;
      if (item->CtlType != ODT_MENU &&
          ReflectToChild(item->hwndItem, message, wParam, lParam, &result)) {
        return result;
      }
      break;
    }
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(OnCtlColor(reinterpret_cast<HDC>(wParam),
                                                  reinterpret_cast<HWND>(lParam),
                                                  message - WM_CTLCOLORMSGBOX));
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_ERASEBKGND:
      return OnEraseBkgnd(reinterpret_cast<HDC>(wParam));
    case WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam), lParam);
      return 0;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<LRESULT>(OnQueryDragIcon());
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_MOVE:
      OnMove(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
      return 0;
    case WM_SIZE:
      OnSize(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_SHOWWINDOW:
      OnShowWindow(static_cast<BOOL>(wParam), static_cast<UINT>(lParam));
      return 0;
    case WM_LBUTTONDOWN:
      OnLButtonDown(static_cast<UINT>(wParam), point);
      return 0;
    case WM_LBUTTONUP:
      OnLButtonUp(static_cast<UINT>(wParam), point);
      return 0;
    case WM_MOUSEMOVE:
      OnMouseMove(static_cast<UINT>(wParam), point);
      return 0;
    case WM_MOUSEHOVER:
      return OnMouseHover(wParam, lParam);
    case WM_MOUSELEAVE:
      return OnMouseLeave(wParam, lParam);
    case WM_SETCURSOR:
      return OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam), HIWORD(lParam));
    case WM_CAPTURECHANGED:
      OnCaptureChanged(reinterpret_cast<HWND>(lParam));
      return 0;
    default:
      break;
  }
  return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_pfnSuper) return ::CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
  return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default() {
  const MSG* msg = currentMessage;
  if (!msg || msg->hwnd != m_hWnd) return 0;
  return DefWindowProc(msg->message, msg->wParam, msg->lParam);
}

BOOL CWnd::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_COMMAND:
      if (OnReflectedCommand(HIWORD(wParam))) {
        *result = 0;
        return TRUE;
      }
      return FALSE;
    case WM_NOTIFY:
      return OnReflectedNotify(reinterpret_cast<NMHDR*>(lParam), result);
    default:
      if (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) {
        HBRUSH brush = CtlColor(reinterpret_cast<HDC>(wParam), message - WM_CTLCOLORMSGBOX);
        if (!brush) return FALSE;
        *result = reinterpret_cast<LRESULT>(brush);
        return TRUE;
      }
      return FALSE;
  }
}

BOOL CWnd::ReflectToChild(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                          LRESULT* result) {
  CWnd* child = FromHandle(control);
  return child && child->OnChildNotify(message, wParam, lParam, result);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  HWND control = reinterpret_cast<HWND>(lParam);
  return control && ReflectToChild(control, WM_COMMAND, wParam, lParam, &result);
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  return header && ReflectToChild(header->hwndFrom, WM_NOTIFY, wParam, lParam, result);
}

HBRUSH CWnd::OnCtlColor(HDC dc, HWND control, UINT ctlColor) {
  LRESULT result = 0;
  if (control && control != m_hWnd &&
      ReflectToChild(control, WM_CTLCOLORMSGBOX + ctlColor, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(control), &result)) {
    return reinterpret_cast<HBRUSH>(result);
  }
  return reinterpret_cast<HBRUSH>(Default());
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  MSG msg{};
  msg.hwnd = m_hWnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  const MSG* outer = currentMessage;
  currentMessage = &msg;
  LRESULT result = WindowProc(message, wParam, lParam);
  currentMessage = outer;
  return result;
}

LRESULT CALLBACK CWnd::StdWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* object = FromHandle(window);
  if (!object) return ::DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = object->Dispatch(message, wParam, lParam);
  if (message == WM_NCDESTROY) object->AfterNcDestroy();
  return result;
}

void CWnd::AfterNcDestroy() {
  CWinApp* app = AfxGetApp();
  if (app && app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
  // Put the previous procedure back unless someone subclassed over us; either way no message
  // follows WM_NCDESTROY.
  if (!UnsubclassWindow()) Detach();
  m_pfnSuper = nullptr;
  PostNcDestroy();  // may delete this
}

#include "skin/layered_window_host.h"

#include <cstdio>

#include "platform/text_win32.h"
#include "skin/gdiplus_owners.h"
#include "skin/subclass_registry.h"

using namespace Gdiplus::DllExports;

SetLayeredWindowAttributesFn pSetLayeredWindowAttributes = nullptr;
UpdateLayeredWindowFn pUpdateLayeredWindow = nullptr;
GetGUIThreadInfoFn pGetGUIThreadInfo = nullptr;

namespace {

constexpr BYTE kDialogAlpha = 5;  // not 0: a window at alpha 0 no longer gets the mouse
constexpr DWORD kSkinExStyle = WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_WINDOWEDGE |
                               WS_EX_TRANSPARENT;  // 0x08080120
constexpr DWORD kSkinStyle = WS_POPUP | WS_VISIBLE;
constexpr WPARAM kDragCommand = SC_MOVE | HTCAPTION;  // 0xF012
constexpr UINT kPrintFlags = PRF_CHECKVISIBLE | PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND |
                             PRF_CHILDREN | PRF_OWNED;  // 0x3F
constexpr int kFadeStep = 30;
constexpr DWORD kFadeIntervalMs = 60;

template <typename Fn>
void LookUp(Fn* pointer, HMODULE module, const char* name) {
  // Through void*: a FARPROC converts to any function pointer type, which is the point here.
  if (!*pointer && module) {
    *pointer = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  }
}

bool IsRenderTrigger(UINT message) {
  return message == WM_PAINT || message == WM_CAPTURECHANGED ||
         (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC);
}

}  // namespace

LayeredWindowHost::LayeredWindowHost(UINT templateId, UINT imageId, LPCWSTR imageType,
                                     HMODULE module, CWnd* parent)
    : CDialog(templateId, parent), image(LoadImageResource(imageId, imageType, module)) {
  char name[64];
  std::snprintf(name, sizeof(name), "FakeWnd%lX%lX%lX%u", ::GetTickCount(),
                ::GetCurrentProcessId(), ::GetCurrentThreadId(), templateId);
  skinClassName = name;
}

LayeredWindowHost::~LayeredWindowHost() {
  // A window still open is destroyed while this object is still a host, so that the fade is
  // stopped and no control is left pointing at a host that is gone.
  if (m_hWnd && ::GetWindowThreadProcessId(m_hWnd, nullptr) == ::GetCurrentThreadId()) {
    DestroyWindow();
  }
  StopFade();
  DestroySkinWindow();
  GetSubclassRegistry().ReleaseHost(this, &SkinWindowProc);
}

BOOL LayeredWindowHost::OnInitDialog() {
  CDialog::OnInitDialog();

  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  LookUp(&pSetLayeredWindowAttributes, user32, "SetLayeredWindowAttributes");
  LookUp(&pUpdateLayeredWindow, user32, "UpdateLayeredWindow");
  LookUp(&pGetGUIThreadInfo, user32, "GetGUIThreadInfo");

  // Without a picture (or one that did not decode: a 0 x 0 window could not even be seen), or
  // on a system without layered windows, the dialog stays an ordinary one.
  if (!image || !pSetLayeredWindowAttributes || !pUpdateLayeredWindow) return TRUE;
  UINT height = image->Height();
  UINT width = image->Width();
  if (width == 0 || height == 0) return TRUE;

  SetWindowPos(nullptr, 0, 0, static_cast<int>(width), static_cast<int>(height),
               SWP_NOMOVE | SWP_NOZORDER);
  // The dialog all but vanishes only once the skin that shows instead exists; without one it
  // stays an ordinary dialog that can be seen.
  CreateSkinWindow();
  if (!skinWindow) return TRUE;
  ::SetWindowLongW(m_hWnd, GWL_EXSTYLE, static_cast<LONG>(GetExStyle() | WS_EX_LAYERED));
  pSetLayeredWindowAttributes(m_hWnd, 0, kDialogAlpha, LWA_ALPHA);

  SubclassTree(m_hWnd);
  return TRUE;
}

void LayeredWindowHost::CreateSkinWindow() {
  DestroySkinWindow();

  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const std::wstring className = platform::Utf8ToWide(skinClassName);
  WNDCLASSEXW skinClass{};
  skinClass.cbSize = sizeof(skinClass);
  skinClass.style = CS_VREDRAW | CS_HREDRAW;
  skinClass.lpfnWndProc = &::DefWindowProcW;
  skinClass.hInstance = instance;
  skinClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  skinClass.lpszClassName = className.c_str();
  ::RegisterClassExW(&skinClass);

  // An owned popup: always in front of the dialog, no taskbar button. Layered, it shows nothing
  // until the first render pushes a picture.
  RECT rect;
  GetWindowRect(&rect);
  skinWindow = ::CreateWindowExW(kSkinExStyle, className.c_str(), nullptr, kSkinStyle,
                                 rect.left, rect.top, rect.right - rect.left,
                                 rect.bottom - rect.top, m_hWnd, nullptr, instance, nullptr);
}

void LayeredWindowHost::DestroySkinWindow() {
  if (!skinWindow) return;
  // The system may have destroyed it already with its owner.
  if (::IsWindow(skinWindow)) ::DestroyWindow(skinWindow);
  skinWindow = nullptr;
  ::UnregisterClassW(platform::Utf8ToWide(skinClassName).c_str(), ::GetModuleHandleW(nullptr));
}

void LayeredWindowHost::SubclassTree(HWND window) {
  auto current = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(window, GWLP_WNDPROC));
  if (current == &SkinWindowProc) {
    // Already ours (a second initialisation): storing ourselves as the previous procedure
    // would make every message call itself.
    SubclassEntry entry;
    if (GetSubclassRegistry().Find(window, &entry)) {
      entry.host = this;
      GetSubclassRegistry().Insert(window, entry);
    }
  } else {
    // The entry exists before the procedure is replaced: the first message already finds it.
    GetSubclassRegistry().Insert(window, SubclassEntry{current, this});
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SkinWindowProc));
  }
  for (HWND child = ::GetWindow(window, GW_CHILD); child;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    SubclassTree(child);
  }
}

LRESULT CALLBACK LayeredWindowHost::SkinWindowProc(HWND window, UINT message, WPARAM wParam,
                                                   LPARAM lParam) {
  SubclassRegistry& registry = GetSubclassRegistry();
  SubclassEntry entry;
  if (!registry.Find(window, &entry)) return ::DefWindowProcW(window, message, wParam, lParam);

  if (message == WM_NCDESTROY) {
    // The window's last message: leave its chain and forget it, so that a later window that
    // gets the same handle never reaches this host.
    registry.Release(window, &SkinWindowProc);
    registry.Erase(window);
    return ::CallWindowProcW(entry.previousProc, window, message, wParam, lParam);
  }

  LRESULT result = ::CallWindowProcW(entry.previousProc, window, message, wParam, lParam);
  // Looked up again: handling the message may have destroyed the host's window.
  if (IsRenderTrigger(message) && registry.Find(window, &entry) && entry.host) {
    entry.host->RenderSkin();
  }
  return result;
}

void LayeredWindowHost::RenderSkin() {
  if (rendering || !skinWindow || !::IsWindow(skinWindow) || !image || !pUpdateLayeredWindow) {
    return;
  }
  // Minimised, the skin is hidden and must stay so: the restore renders afresh.
  if (IsIconic()) return;
  rendering = true;  // the children's WM_PRINT traffic comes back here

  RECT skinRect;
  ::GetWindowRect(skinWindow, &skinRect);
  POINT destination{skinRect.left, skinRect.top};
  POINT source{0, 0};
  int width = static_cast<int>(image->Width());
  int height = static_cast<int>(image->Height());
  SIZE size{width, height};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, static_cast<BYTE>(alpha.load() & 0xFF), AC_SRC_ALPHA};

  ScopedGetDC screen(nullptr);
  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  info.bmiHeader.biSizeImage = static_cast<DWORD>(width) * 4 * static_cast<DWORD>(height);
  void* bits = nullptr;
  ScopedBitmap dib;
  if (memory.valid() && width > 0 && height > 0) {
    dib.reset(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  }
  if (dib.valid()) {
    ScopedSelectObject select(memory, dib);
    ScopedGdipGraphics graphics;
    Gdiplus::GpGraphics* created = nullptr;
    if (GdipCreateFromHDC(memory, &created) == Gdiplus::Ok) {
      graphics.reset(created);
      GdipSetSmoothingMode(graphics, Gdiplus::SmoothingModeNone);
      image->Draw(graphics, 0, 0, width, height);
      // Top of the z-order first, so that a later child lands over an earlier one.
      for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child;
           child = ::GetWindow(child, GW_HWNDNEXT)) {
        CaptureChild(graphics, screen, child);
      }
      DrawCaret(graphics);
      graphics.reset();  // the drawing is in the DIB once the graphics is gone
      // Nothing is pushed when the composite could not be drawn: the last one stays.
      pUpdateLayeredWindow(skinWindow, screen, &destination, &size, memory, &source, 0, &blend,
                           ULW_ALPHA);
    }
  }
  rendering = false;
}

void LayeredWindowHost::CaptureChild(Gdiplus::GpGraphics* graphics, HDC screen, HWND child) {
  // A hidden child shows nothing: the picture shows through where it is. (Its own style: the
  // dialog itself may not show yet.)
  if (!::IsWindow(child) || !(::GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) return;
  RECT rect;
  ::GetWindowRect(child, &rect);
  ScreenToClient(&rect);
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return;

  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  ScopedBitmap capture(::CreateCompatibleBitmap(screen, width, height));
  if (!memory.valid() || !capture.valid()) return;
  {
    ScopedSelectObject select(memory, capture);
    ::SendMessageW(child, WM_PRINT, reinterpret_cast<WPARAM>(memory.get()), kPrintFlags);
  }
  // The capture has no alpha: the control stands opaque on the picture.
  Gdiplus::GpBitmap* created = nullptr;
  if (GdipCreateBitmapFromHBITMAP(capture, nullptr, &created) != Gdiplus::Ok) return;
  ScopedGdipImage bitmap(created);
  GdipDrawImageI(graphics, bitmap, rect.left, rect.top);
}

void LayeredWindowHost::DrawCaret(Gdiplus::GpGraphics* graphics) {
  if (!pGetGUIThreadInfo) return;
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (!pGetGUIThreadInfo(::GetCurrentThreadId(), &info) || !::IsWindow(info.hwndCaret)) return;
  POINT top{info.rcCaret.left, info.rcCaret.top};
  ::ClientToScreen(info.hwndCaret, &top);
  ::ScreenToClient(skinWindow, &top);
  int caretHeight = info.rcCaret.bottom - info.rcCaret.top;
  // The real caret sits on the nearly invisible dialog; the skin shows a still line instead.
  Gdiplus::GpPen* created = nullptr;
  if (GdipCreatePen1(0xFF000000, 1.0f, Gdiplus::UnitWorld, &created) != Gdiplus::Ok) return;
  ScopedGdipPen pen(created);
  GdipDrawLineI(graphics, pen, top.x, top.y, top.x, top.y + caretHeight);
}

UINT LayeredWindowHost::FadeInThread(void* param) {
  auto* host = static_cast<LayeredWindowHost*>(param);
  while (host->alpha < 255) {
    int next = host->alpha + kFadeStep;
    host->alpha = next > 255 ? 255 : next;
    // Synchronous: the UI thread renders with the value just written while this thread waits.
    ::SendMessageW(host->fadeTarget, WM_PAINT, 0, 0);
    if (::WaitForSingleObject(host->fadeStop.get(), kFadeIntervalMs) != WAIT_TIMEOUT) break;
  }
  return 0;
}

void LayeredWindowHost::StartFade() {
  fadeTarget = m_hWnd;
  fadeStop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  CWinThread* thread = nullptr;
  if (fadeStop.valid()) {
    thread = AfxBeginThread(&FadeInThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
  }
  if (!thread) {
    // Without the fade the skin would stay invisible: show it at once instead.
    alpha = 255;
    RenderSkin();
    return;
  }
  thread->m_bAutoDelete = FALSE;
  fadeThread.reset(thread);
  thread->ResumeThread();
}

void LayeredWindowHost::StopFade() {
  if (!fadeThread) return;
  ::SetEvent(fadeStop.get());
  // The thread may be inside SendMessage to this very thread: serve sent messages while
  // waiting, or neither could go on.
  HANDLE thread = fadeThread->m_hThread;
  while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) ==
         WAIT_OBJECT_0 + 1) {
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  fadeThread.reset();
}

void LayeredWindowHost::OnShowWindow(BOOL show, UINT status) {
  CDialog::OnShowWindow(show, status);
  if (skinWindow && ::IsWindow(skinWindow)) ::ShowWindow(skinWindow, show ? SW_SHOWNA : SW_HIDE);
  if (!fadeStarted) {
    fadeStarted = true;
    StartFade();
  }
}

void LayeredWindowHost::OnMove(int x, int y) {
  CDialog::OnMove(x, y);
  // For this frameless dialog the client origin is the window origin. Brought to the top too,
  // but never activated: the dialog keeps the focus. Not to where a minimised dialog sits.
  if (skinWindow && ::IsWindow(skinWindow) && !IsIconic()) {
    ::SetWindowPos(skinWindow, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

void LayeredWindowHost::OnSize(UINT type, int cx, int cy) {
  CDialog::OnSize(type, cx, cy);
  if (!skinWindow || !::IsWindow(skinWindow)) return;
  // Minimised, the dialog is a taskbar button only, whatever runs meanwhile: so is the skin.
  if (type == SIZE_MINIMIZED) {
    ::ShowWindow(skinWindow, SW_HIDE);
    return;
  }
  RECT rect;
  GetWindowRect(&rect);
  ::SetWindowPos(skinWindow, nullptr, rect.left, rect.top, cx, cy, SWP_NOACTIVATE);
  if (IsWindowVisible() && !::IsWindowVisible(skinWindow)) {
    ::ShowWindow(skinWindow, SW_SHOWNA);
    RenderSkin();
  }
}

void LayeredWindowHost::OnLButtonDown(UINT flags, POINT point) {
  // The system's move loop runs until the button is released.
  SendMessage(WM_SYSCOMMAND, kDragCommand, 0);
  CDialog::OnLButtonDown(flags, point);
}

BOOL LayeredWindowHost::OnEraseBkgnd(HDC dc) {
  // The dialog's own surface shows the picture too: where no compositor blends it away, and
  // so that a control moved or hidden leaves no trace of itself behind.
  Gdiplus::GpGraphics* created = nullptr;
  if (!image || GdipCreateFromHDC(dc, &created) != Gdiplus::Ok) return TRUE;
  ScopedGdipGraphics graphics(created);
  image->Draw(graphics, 0, 0, static_cast<int>(image->Width()), static_cast<int>(image->Height()));
  return TRUE;
}

void LayeredWindowHost::OnDestroy() {
  StopFade();
  CDialog::OnDestroy();
}

void LayeredWindowHost::PostNcDestroy() {
  DestroySkinWindow();
  // The controls said goodbye with their own WM_NCDESTROY; this catches any window that did not.
  GetSubclassRegistry().ReleaseHost(this, &SkinWindowProc);
  CDialog::PostNcDestroy();
}

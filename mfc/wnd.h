// CWnd: a C++ object bound to one window handle. Messages reach the object through one static
// window procedure and a handle-to-object map; the virtual WindowProc's switch calls the named
// handlers below, whose base versions do the window's default processing.
#pragma once

#include <windows.h>

#include <string>

// Run-time class information: a name and a base, enough for IsKindOf.
struct CRuntimeClass {
  const char* m_lpszClassName;
  const CRuntimeClass* m_pBaseClass;
  bool IsDerivedFrom(const CRuntimeClass* base) const;
};
#define RUNTIME_CLASS(name) (&name::class##name)

class CWnd {
 public:
  static const CRuntimeClass classCWnd;

  CWnd() = default;
  // Destroys a window that is still attached (it must belong to the calling thread).
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  virtual const CRuntimeClass* GetRuntimeClass() const { return &classCWnd; }
  bool IsKindOf(const CRuntimeClass* type) const { return GetRuntimeClass()->IsDerivedFrom(type); }

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }

  // The object attached to `window`, or null. There are no temporary objects: windows that no
  // CWnd owns are handled as plain HWNDs.
  static CWnd* FromHandle(HWND window);

  // Binds the object to `window` in the map without touching its window procedure.
  bool Attach(HWND window);
  HWND Detach();
  // Binds and routes the window's messages through WindowProc; the previous procedure becomes
  // the default processing. PreSubclassWindow runs in between.
  bool SubclassWindow(HWND window);
  bool SubclassDlgItem(int id, CWnd* parent);
  // Puts the previous procedure back and detaches; fails when another procedure was installed
  // over ours since.
  HWND UnsubclassWindow();

  // Creates a window of a registered (usually system) class and subclasses it.
  bool CreateEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x,
                int y, int width, int height, HWND parent, HMENU menuOrId);
  bool DestroyWindow();

  // Called by the modal loop for a message before it is dispatched, for the target window and
  // each parent up to the dialog; returning TRUE stops the dispatch.
  virtual BOOL PreTranslateMessage(MSG* msg);
  // Offers `msg` to PreTranslateMessage of every CWnd from its window up to `stop`.
  static BOOL WalkPreTranslateTree(HWND stop, MSG* msg);

  // Thin wrappers over the window functions the program uses.
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
  }
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
  }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
  HWND GetParent() const { return ::GetParent(m_hWnd); }
  void SetWindowText(const char* text);
  std::string GetWindowText() const;
  void SetDlgItemText(int id, const char* text);
  void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) {
    ::MoveWindow(m_hWnd, x, y, width, height, repaint);
  }
  void MoveWindow(const RECT& rect, BOOL repaint = TRUE) {
    MoveWindow(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, repaint);
  }
  BOOL SetWindowPos(HWND insertAfter, int x, int y, int width, int height, UINT flags) {
    return ::SetWindowPos(m_hWnd, insertAfter, x, y, width, height, flags);
  }
  void GetWindowRect(RECT* rect) const { ::GetWindowRect(m_hWnd, rect); }
  void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
  // Screen rectangle to this window's client coordinates, and back.
  void ScreenToClient(RECT* rect) const;
  void ScreenToClient(POINT* point) const { ::ScreenToClient(m_hWnd, point); }
  void ClientToScreen(RECT* rect) const;
  void ClientToScreen(POINT* point) const { ::ClientToScreen(m_hWnd, point); }
  BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
  void InvalidateRect(const RECT* rect, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, rect, erase); }
  void UpdateWindow() { ::UpdateWindow(m_hWnd); }
  BOOL RedrawWindow(const RECT* rect = nullptr, HRGN region = nullptr,
                    UINT flags = RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE) {
    return ::RedrawWindow(m_hWnd, rect, region, flags);
  }
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)); }
  DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_EXSTYLE)); }
  // Removes then adds style bits; `flags` non-zero also refreshes the frame (SetWindowPos).
  BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);
  HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
  void SetFont(HFONT font, BOOL redraw = TRUE) {
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw);
  }
  HICON SetIcon(HICON icon, BOOL big) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
  }
  HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }
  // Centres the window over its visible owner, or on the work area of its monitor.
  void CenterWindow();

 protected:
  // Handles one message: a switch over the messages below, calling the named handlers; all
  // others go to DefWindowProc.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // The previous window procedure (from subclassing), or DefWindowProcA.
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Default processing of the message being handled right now on this thread.
  LRESULT Default();

  // Runs after the object is bound to an existing window and before its procedure is replaced.
  virtual void PreSubclassWindow() {}
  // Runs after the window's last message (WM_NCDESTROY) once the object is detached.
  virtual void PostNcDestroy() {}

  // Reflection: a parent offers WM_COMMAND and WM_NOTIFY from a control, WM_DRAWITEM and
  // WM_CTLCOLOR* to the control's own object first. Returning TRUE answers the message with
  // *result and the parent's handlers never see it. The base routes to the handlers below.
  virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  // Reflected WM_COMMAND: notification code of this control (BN_CLICKED, STN_CLICKED, ...).
  virtual BOOL OnReflectedCommand(UINT /*notifyCode*/) { return FALSE; }
  // Reflected WM_NOTIFY.
  virtual BOOL OnReflectedNotify(NMHDR* /*header*/, LRESULT* /*result*/) { return FALSE; }
  // Reflected WM_CTLCOLOR*: a brush colours this control; null leaves it to the parent.
  virtual HBRUSH CtlColor(HDC /*dc*/, UINT /*ctlColor*/) { return nullptr; }

  // Named handlers. Each base version does the default processing of its message.
  // A menu item, accelerator or control notification; TRUE when handled.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual void OnPaint() { Default(); }
  virtual BOOL OnEraseBkgnd(HDC /*dc*/) { return static_cast<BOOL>(Default()); }
  // ctlColor is CTLCOLOR_STATIC etc. The base offers the message to the control's object, then
  // takes the default brush.
  virtual HBRUSH OnCtlColor(HDC dc, HWND control, UINT ctlColor);
  virtual void OnSysCommand(UINT /*id*/, LPARAM /*lParam*/) { Default(); }
  virtual HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }
  virtual void OnTimer(UINT_PTR /*id*/) { Default(); }
  virtual void OnClose() { Default(); }
  virtual void OnDestroy() { Default(); }
  virtual void OnMove(int /*x*/, int /*y*/) { Default(); }
  virtual void OnSize(UINT /*type*/, int /*cx*/, int /*cy*/) { Default(); }
  virtual void OnShowWindow(BOOL /*show*/, UINT /*status*/) { Default(); }
  virtual void OnLButtonDown(UINT /*flags*/, POINT /*point*/) { Default(); }
  virtual void OnLButtonUp(UINT /*flags*/, POINT /*point*/) { Default(); }
  virtual void OnMouseMove(UINT /*flags*/, POINT /*point*/) { Default(); }
  virtual LRESULT OnMouseHover(WPARAM /*wParam*/, LPARAM /*lParam*/) { return Default(); }
  virtual LRESULT OnMouseLeave(WPARAM /*wParam*/, LPARAM /*lParam*/) { return Default(); }
  virtual BOOL OnSetCursor(HWND /*window*/, UINT /*hitTest*/, UINT /*message*/) {
    return static_cast<BOOL>(Default());
  }
  virtual void OnCaptureChanged(HWND /*newCapture*/) { Default(); }

  // Offers a message to the object of `control`, if it has one (see OnChildNotify).
  static BOOL ReflectToChild(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                             LRESULT* result);
  // Runs WindowProc with the message recorded for Default().
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  static LRESULT CALLBACK StdWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  void AfterNcDestroy();

  WNDPROC m_pfnSuper = nullptr;
};

// The text of any window (UTF-8), read as the system holds it (UTF-16).
std::string WindowTextOf(HWND window);

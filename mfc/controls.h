// Objects for standard controls of a dialog template: CStatic, CButton, CBitmapButton, and the
// tooltip control CToolTipCtrl.
#pragma once

#include <windows.h>
// commctrl.h needs windows.h first.
#include <commctrl.h>

#include <string>

#include "mfc/scoped_win.h"
#include "mfc/wnd.h"

class CStatic : public CWnd {
 public:
  static const CRuntimeClass classCStatic;
  const CRuntimeClass* GetRuntimeClass() const override { return &classCStatic; }

  // STM_SETIMAGE with a bitmap; returns the previous one (the caller owns both).
  HBITMAP SetBitmap(HBITMAP bitmap);
  HICON SetIcon(HICON icon);

  // Paints an SS_OWNERDRAW static (reflected WM_DRAWITEM).
  virtual void DrawItem(DRAWITEMSTRUCT* /*item*/) {}

 protected:
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

class CButton : public CWnd {
 public:
  static const CRuntimeClass classCButton;
  const CRuntimeClass* GetRuntimeClass() const override { return &classCButton; }

  // Paints a BS_OWNERDRAW button (reflected WM_DRAWITEM).
  virtual void DrawItem(DRAWITEMSTRUCT* /*item*/) {}

 protected:
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

// An owner-drawn button showing one of up to four bitmaps by state.
class CBitmapButton : public CButton {
 public:
  static const CRuntimeClass classCBitmapButton;
  const CRuntimeClass* GetRuntimeClass() const override { return &classCBitmapButton; }

  // Loads the bitmaps for normal, pressed, focused and disabled (0: none); FALSE when the
  // normal one is missing.
  BOOL LoadBitmaps(UINT normalId, UINT selectedId = 0, UINT focusId = 0, UINT disabledId = 0);
  // Resizes the button to its normal bitmap.
  void SizeToContent();
  void DrawItem(DRAWITEMSTRUCT* item) override;

 protected:
  ScopedBitmap m_bitmap;
  ScopedBitmap m_bitmapSel;
  ScopedBitmap m_bitmapFocus;
  ScopedBitmap m_bitmapDisabled;
};

// A tooltip control. It is not told to subclass its tools: the owner relays mouse messages to
// it (RelayEvent) from PreTranslateMessage.
class CToolTipCtrl : public CWnd {
 public:
  static const CRuntimeClass classCToolTipCtrl;
  const CRuntimeClass* GetRuntimeClass() const override { return &classCToolTipCtrl; }

  bool Create(CWnd* parent, DWORD style = 0);
  // Adds tool `toolId` over `rect` of `window` (or, with id 0, the whole window) showing `text`.
  BOOL AddTool(CWnd* window, const char* text, const RECT* rect = nullptr, UINT_PTR toolId = 0);
  void UpdateTipText(const char* text, CWnd* window, UINT_PTR toolId = 0);
  // The area of a tool given by `toolId` (not TTF_IDISHWND) moves to `rect`.
  void SetToolRect(CWnd* window, UINT_PTR toolId, const RECT& rect);
  void Activate(BOOL activate) { SendMessage(TTM_ACTIVATE, activate); }
  void RelayEvent(MSG* msg) { SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(msg)); }
  int GetToolCount() const { return static_cast<int>(SendMessage(TTM_GETTOOLCOUNT)); }
  std::string GetText(CWnd* window, UINT_PTR toolId = 0) const;
};

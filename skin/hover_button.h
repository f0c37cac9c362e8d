// A push button whose whole face is one frame of a strip bitmap of three equal frames side by
// side: normal, hover (the pointer rested on it for 1 ms) and pressed. It can carry a tooltip.
// It draws no text; focused from the keyboard, it shows the focus cue (skin/focus_cue.h). Enter
// presses it, as Space does. The button must have the BS_OWNERDRAW style.
#pragma once

#include "mfc/afxwin.h"

class CHoverButton : public CBitmapButton {
 public:
  static const CRuntimeClass classCHoverButton;
  const CRuntimeClass* GetRuntimeClass() const override { return &classCHoverButton; }

  CHoverButton() = default;
  ~CHoverButton() override;

  // Takes bitmap `bitmapId` of the application as the strip, freeing the old one, and sizes the
  // button to one frame without moving it. A bitmap that cannot be loaded leaves strip and size
  // as they were and returns FALSE.
  BOOL LoadStrip(UINT bitmapId);
  // The same with a strip the caller made (art for another density, say); the button owns it.
  BOOL SetStrip(ScopedBitmap bitmap);
  // Tooltip `text` over the button, switched on or off; null does nothing. The tool keeps the
  // rectangle of the first call.
  void SetTip(const char* text, BOOL activate);

  BOOL PreTranslateMessage(MSG* msg) override;
  void DrawItem(DRAWITEMSTRUCT* item) override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  BOOL IsHovering() const { return hovering; }
  BOOL IsTracking() const { return tracking; }
  int FrameWidth() const { return frameWidth; }
  int FrameHeight() const { return frameHeight; }
  HBITMAP Strip() const { return strip.get(); }
  const CToolTipCtrl& Tooltip() const { return tooltip; }

 protected:
  // Called when the pointer moves over the button: asks to hear when it rests and when it leaves.
  void OnMouseMove(UINT flags, POINT point) override;
  // Called when the pointer has rested on the button: the hover frame shows.
  LRESULT OnMouseHover(WPARAM wParam, LPARAM lParam) override;
  // Called when the pointer has left the button: back to the normal frame.
  LRESULT OnMouseLeave(WPARAM wParam, LPARAM lParam) override;

 private:
  void EnsureTooltip();

  BOOL hovering = FALSE;
  int frameWidth = 0;
  int frameHeight = 0;
  ScopedBitmap strip;
  BOOL tracking = FALSE;
  CToolTipCtrl tooltip;
};

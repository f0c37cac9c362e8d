// A dialog shown as a picture with an alpha channel, its controls composited into it.
//
// The dialog stays the real window (input, controls, dialog logic) but is layered at a constant
// alpha of 5, all but invisible. In front of it, a click-through, never-activated popup (the skin
// window) shows the composite: the picture, every direct child printed at its place, and the
// caret line. Any paint, colour query or capture change in the dialog or its controls recomposes
// the skin. The skin fades in when the dialog first shows; the dialog can be dragged by any point
// of its own surface.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
#include <memory>
#include <string>

#include "mfc/afxwin.h"
#include "skin/png_image.h"

// user32 functions looked up by name on the first initialisation that finds them missing.
using SetLayeredWindowAttributesFn = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
using UpdateLayeredWindowFn = BOOL(WINAPI*)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF,
                                            BLENDFUNCTION*, DWORD);
using GetGUIThreadInfoFn = BOOL(WINAPI*)(DWORD, GUITHREADINFO*);
extern SetLayeredWindowAttributesFn pSetLayeredWindowAttributes;
extern UpdateLayeredWindowFn pUpdateLayeredWindow;
extern GetGUIThreadInfoFn pGetGUIThreadInfo;

class LayeredWindowHost : public CDialog {
 public:
  // `imageId` of `imageType` in `module` (null: the application's resource module) is the skin;
  // the window takes its size.
  LayeredWindowHost(UINT templateId, UINT imageId, LPCWSTR imageType, HMODULE module,
                    CWnd* parent);
  ~LayeredWindowHost() override;

  // Recomposes the skin and pushes it to the skin window at the current alpha.
  void RenderSkin();

  HWND SkinWindow() const { return skinWindow; }
  const std::string& SkinClassName() const { return skinClassName; }
  int Alpha() const { return alpha; }
  const PngImage* Image() const { return image.get(); }

  // The one procedure installed on the dialog and all its descendants.
  static LRESULT CALLBACK SkinWindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam);

 protected:
  // Call first in a derived OnInitDialog: sizes the dialog to the picture, layers it, creates the
  // skin window and subclasses the dialog and every control it has at this point.
  BOOL OnInitDialog() override;
  void PostNcDestroy() override;
  // Another picture for the skin (the same art drawn for another density): before
  // OnInitDialog, which sizes the window to it; null keeps the one given at construction.
  void ReplaceImage(std::unique_ptr<PngImage> picture) {
    if (picture) image = std::move(picture);
  }

  // Called when the left button goes down on the dialog's own surface: drags the dialog.
  void OnLButtonDown(UINT flags, POINT point) override;
  // Called to erase the background: the picture.
  BOOL OnEraseBkgnd(HDC dc) override;
  // Called when the dialog has moved or been resized: the skin follows; minimised, it hides.
  void OnMove(int x, int y) override;
  void OnSize(UINT type, int cx, int cy) override;
  // Called when the dialog is shown or hidden: so is the skin; the first time, it fades in.
  void OnShowWindow(BOOL show, UINT status) override;
  // Called while the dialog is being destroyed: the fade must end before the window does.
  void OnDestroy() override;

 private:
  static UINT FadeInThread(void* param);

  void CreateSkinWindow();
  void DestroySkinWindow();
  void SubclassTree(HWND window);
  void CaptureChild(Gdiplus::GpGraphics* graphics, HDC screen, HWND child);
  void DrawCaret(Gdiplus::GpGraphics* graphics);
  void StartFade();
  void StopFade();

  std::string skinClassName;
  HWND skinWindow = nullptr;
  bool rendering = false;
  // Raised by the fade thread, read by renders on the UI thread.
  std::atomic<int> alpha{0};
  std::unique_ptr<PngImage> image;
  bool fadeStarted = false;

  // The fade thread is owned: it is stopped and waited for before the window or the object go.
  std::unique_ptr<CWinThread> fadeThread;
  ScopedHandle fadeStop;    // manual-reset event that ends the fade early
  HWND fadeTarget = nullptr;  // the dialog, fixed before the thread starts
};

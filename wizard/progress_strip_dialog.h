// The install's progress bar: a child dialog in the wizard that widens one pixel at a time,
// sliding a long blue bar picture (with a rounded right end) along with it, so that the
// picture's end leads as the bar grows. It never shrinks.
#pragma once

#include <cstdint>

#include "mfc/afxwin.h"

class ProgressStripDialog : public CDialog {
 public:
  // Where the bar stands in the wizard's client area, and its length at 100 %, at 96 dpi.
  static constexpr int kLeft = 28;
  static constexpr int kTop = 295;
  static constexpr int kHeight = 10;
  static constexpr int kHiddenLeft = 25;  // where it is placed, still empty, when created
  static constexpr uint32_t kFullWidth = 453;

  ProgressStripDialog();

  // After Create: the bar's place, length and picture for the wizard's density.
  void ScaleTo(UINT dpi);
  // Puts the strip, still empty, at its place: nothing of it shows yet.
  void PlaceEmpty();
  // The wizard changed density: the bar at its new place and length, as full as before.
  void Rescale(UINT dpi);

  // Grows the bar to done / total of fullWidth pixels, one pixel per move; never shrinks.
  void Advance();
  // The bar's window text, which screen readers announce: "42%".
  void ShowPercent(int percent);
  // Widens the strip by one pixel at its place in the wizard.
  void GrowOnePixel();
  // Slides the picture left until only its last pixel column lies inside the strip.
  void ResetPicture();

  uint32_t filledPixels = 0;
  uint32_t fullWidth = kFullWidth;
  uint64_t total = 0;
  uint64_t done = 0;
  CStatic picture;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  int left = kLeft;
  int top = kTop;
  int height = kHeight;
  int hiddenLeft = kHiddenLeft;
  ScopedBitmap scaledPicture;  // the bar's picture at a density other than 96 dpi

  // Draws the visible part of the bar picture into `dc`: the skin captures the strip with
  // WM_PRINT, and not every system prints a window's children with it.
  void PrintPicture(HDC dc);
};

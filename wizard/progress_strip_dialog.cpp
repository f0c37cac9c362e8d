#include "wizard/progress_strip_dialog.h"

#include <string>

#include "res/resource.h"
#include "skin/dpi_scale.h"
#include "wizard/art_set.h"
#include "wizard/install_monitor.h"

ProgressStripDialog::ProgressStripDialog() : CDialog(IDD_PROGRESS_STRIP) {}

void ProgressStripDialog::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_STRIP_PICTURE, picture);
}

LRESULT ProgressStripDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PRINTCLIENT) {
    PrintPicture(reinterpret_cast<HDC>(wParam));
    return 0;
  }
  return CDialog::WindowProc(message, wParam, lParam);
}

void ProgressStripDialog::PrintPicture(HDC dc) {
  auto bitmap = reinterpret_cast<HBITMAP>(picture.SendMessage(STM_GETIMAGE, IMAGE_BITMAP));
  if (!bitmap) return;
  RECT rect;
  picture.GetWindowRect(&rect);
  ScreenToClient(&rect);
  AutoDeleteDC memory(::CreateCompatibleDC(dc));
  if (!memory.valid()) return;
  ScopedSelectObject select(memory, bitmap);
  ::BitBlt(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, memory, 0, 0,
           SRCCOPY);
}

void ProgressStripDialog::ScaleTo(UINT dpi) {
  left = ScaleToDpi(kLeft, dpi);
  top = ScaleToDpi(kTop, dpi);
  height = ScaleToDpi(kHeight, dpi);
  hiddenLeft = ScaleToDpi(kHiddenLeft, dpi);
  fullWidth = static_cast<uint32_t>(ScaleToDpi(static_cast<int>(kFullWidth), dpi));
  // At 96 dpi the template's picture is the one (unless another density came first).
  if (dpi != kBaseDpi || scaledPicture.valid()) {
    ShowArtBitmap(picture.m_hWnd, &scaledPicture, LoadArtBitmap(IDB_BAR_FILL, dpi));
  }
}

void ProgressStripDialog::Rescale(UINT dpi) {
  ScaleTo(dpi);
  filledPixels = 0;
  PlaceEmpty();
  ResetPicture();
  Advance();
}

void ProgressStripDialog::ShowPercent(int percent) {
  const std::string text = std::to_string(percent) + "%";
  if (GetWindowText() != text) SetWindowText(text.c_str());
}

void ProgressStripDialog::PlaceEmpty() { MoveWindow(hiddenLeft, top, 0, height); }

void ProgressStripDialog::ResetPicture() {
  RECT rect;
  picture.GetWindowRect(&rect);
  ScreenToClient(&rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  picture.MoveWindow(1 - width, rect.top, width, height);
}

void ProgressStripDialog::GrowOnePixel() {
  RECT rect;
  GetWindowRect(&rect);
  ScreenToClient(&rect);
  const int width = rect.right - rect.left;
  MoveWindow(left, top, width + 1, height);
}

void ProgressStripDialog::Advance() {
  if (done == 0 || total == 0) return;
  const uint32_t target = BarTargetPixels(done, total, fullWidth);
  while (filledPixels < target) {
    GrowOnePixel();
    RECT rect;
    picture.GetWindowRect(&rect);
    ScreenToClient(&rect);
    picture.MoveWindow(rect.left + 1, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    ++filledPixels;
  }
}

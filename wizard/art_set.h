// The wizard's artwork comes in three sets, drawn for 96, 144 and 192 dots per inch (100 %,
// 150 % and 200 %; tools/make-art.sh). These give its pieces for the density the wizard is shown
// at: the set drawn for it, or the nearest larger one rescaled with high-quality bicubic
// interpolation (the 200 % set above 192 dpi).
#pragma once

#include <windows.h>

#include <memory>

#include "skin/png_image.h"

// The density of the set drawn for `dpi`.
UINT ArtSetDpi(UINT dpi);

// The skin picture at `dpi`; its size is that of the 100 % picture scaled to `dpi`.
std::unique_ptr<PngImage> LoadArtPicture(UINT dpi);

// Bitmap `bitmapId` of the 100 % set (IDB_START, IDB_BAR_FILL, ...) at `dpi`: at 96 dpi that
// bitmap itself. A strip of `frames` frames side by side is rescaled frame by frame, so that
// its width stays a multiple of them. Empty when it cannot be loaded.
ScopedBitmap LoadArtBitmap(UINT bitmapId, UINT dpi, int frames = 1);

// Shows `bitmap` in picture control `control` and keeps it in `owner`. The bitmap the control
// showed before is freed: the template's, which the control hands back, or the previous one of
// `owner`.
void ShowArtBitmap(HWND control, ScopedBitmap* owner, ScopedBitmap bitmap);

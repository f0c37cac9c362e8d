#include "wizard/art_set.h"

#include "mfc/winapp.h"
#include "res/resource.h"
#include "skin/dpi_scale.h"

namespace {

constexpr UINT kSet150Dpi = 144;
constexpr UINT kSet200Dpi = 192;

// Piece `baseId` of the set drawn for `setDpi`, as a picture.
std::unique_ptr<PngImage> LoadSetPiece(UINT baseId, UINT setDpi, LPCWSTR baseType) {
  switch (setDpi) {
    case kSet150Dpi:
      return LoadImageResource(baseId + ART_SET_150, kSkinImageType, AfxGetResourceHandle());
    case kSet200Dpi:
      return LoadImageResource(baseId + ART_SET_200, kSkinImageType, AfxGetResourceHandle());
    default:
      return LoadImageResource(baseId, baseType, AfxGetResourceHandle());
  }
}

// `length` of a piece drawn for `setDpi`, at `dpi`.
int Rescale(UINT length, UINT dpi, UINT setDpi) {
  return ::MulDiv(static_cast<int>(length), static_cast<int>(dpi), static_cast<int>(setDpi));
}

}  // namespace

UINT ArtSetDpi(UINT dpi) {
  if (dpi <= kBaseDpi) return kBaseDpi;
  return dpi <= kSet150Dpi ? kSet150Dpi : kSet200Dpi;
}

std::unique_ptr<PngImage> LoadArtPicture(UINT dpi) {
  const UINT setDpi = ArtSetDpi(dpi);
  std::unique_ptr<PngImage> picture = LoadSetPiece(IDB_SKIN, setDpi, kSkinImageType);
  if (!picture || setDpi == dpi || picture->Width() == 0) return picture;
  return ScaledImage(*picture, Rescale(picture->Width(), dpi, setDpi),
                     Rescale(picture->Height(), dpi, setDpi));
}

ScopedBitmap LoadArtBitmap(UINT bitmapId, UINT dpi, int frames) {
  if (dpi == kBaseDpi) {
    return ScopedBitmap(static_cast<HBITMAP>(
        ::LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0,
                     LR_LOADMAP3DCOLORS)));
  }
  const UINT setDpi = ArtSetDpi(dpi);
  std::unique_ptr<PngImage> piece = LoadSetPiece(bitmapId, setDpi, RT_BITMAP);
  if (!piece || piece->Width() == 0 || frames <= 0) return ScopedBitmap();
  const int frameWidth = Rescale(piece->Width() / static_cast<UINT>(frames), dpi, setDpi);
  return ImageBitmap(*piece, frameWidth * frames, Rescale(piece->Height(), dpi, setDpi));
}

void ShowArtBitmap(HWND control, ScopedBitmap* owner, ScopedBitmap bitmap) {
  if (!bitmap.valid()) return;
  HGDIOBJ previous = reinterpret_cast<HGDIOBJ>(
      ::SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap.get())));
  if (previous && previous != owner->get()) ::DeleteObject(previous);
  *owner = std::move(bitmap);
}

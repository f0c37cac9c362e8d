#include "skin/png_image.h"

#include <cstring>
#include <new>

#include "mfc/winapp.h"

using namespace Gdiplus::DllExports;

UINT PngImage::Width() const {
  UINT width = 0;
  if (!image_.valid() || GdipGetImageWidth(image_, &width) != Gdiplus::Ok) return 0;
  return width;
}

UINT PngImage::Height() const {
  UINT height = 0;
  if (!image_.valid() || GdipGetImageHeight(image_, &height) != Gdiplus::Ok) return 0;
  return height;
}

void PngImage::Draw(Gdiplus::GpGraphics* graphics, int x, int y, int width, int height) const {
  if (image_.valid() && graphics) GdipDrawImageRectI(graphics, image_, x, y, width, height);
}

namespace {

// Sharp edges where the size stays, the smoothest resampling where it changes.
void PrepareScaling(Gdiplus::GpGraphics* graphics) {
  GdipSetInterpolationMode(graphics, Gdiplus::InterpolationModeHighQualityBicubic);
  GdipSetPixelOffsetMode(graphics, Gdiplus::PixelOffsetModeHalf);
}

// Without memory for the picture, its image and block go with the arguments.
std::unique_ptr<PngImage> MakeImage(ScopedGdipImage image, ScopedGlobal block) {
  return std::unique_ptr<PngImage>(new (std::nothrow)
                                       PngImage(std::move(image), std::move(block)));
}

// A bitmap resource as a GDI+ bitmap; the GDI bitmap is only borrowed for the copy.
std::unique_ptr<PngImage> LoadBitmapImage(UINT resourceId, HMODULE module) {
  ScopedGdipImage image;
  ScopedBitmap gdiBitmap(::LoadBitmapW(module, MAKEINTRESOURCEW(resourceId)));
  Gdiplus::GpBitmap* bitmap = nullptr;
  if (gdiBitmap.valid() &&
      GdipCreateBitmapFromHBITMAP(gdiBitmap, nullptr, &bitmap) == Gdiplus::Ok) {
    image.reset(bitmap);
  }
  return MakeImage(std::move(image), ScopedGlobal());
}

// The resource bytes in a block of their own: GDI+ may read the stream for as long as the
// image lives, while the resource itself is only borrowed.
ScopedGlobal CopyResource(UINT resourceId, LPCWSTR resourceType, HMODULE module) {
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(resourceId), resourceType);
  if (!resource) return ScopedGlobal();
  DWORD size = ::SizeofResource(module, resource);
  HGLOBAL loaded = ::LoadResource(module, resource);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return ScopedGlobal();
  ScopedGlobal block(::GlobalAlloc(GMEM_FIXED, size));
  if (!block.valid()) return block;
  std::memcpy(::GlobalLock(block), bytes, size);
  ::GlobalUnlock(block);
  return block;
}

}  // namespace

std::unique_ptr<PngImage> LoadImageResource(UINT resourceId, LPCWSTR resourceType,
                                            HMODULE module) {
  if (resourceType == RT_BITMAP) return LoadBitmapImage(resourceId, module);
  if (!module) module = AfxGetResourceHandle();

  ScopedGlobal block = CopyResource(resourceId, resourceType, module);
  ScopedGdipImage image;
  if (block.valid()) {
    IStream* stream = nullptr;
    // The stream must not free the block: the picture owns it and frees it after GDI+.
    if (SUCCEEDED(::CreateStreamOnHGlobal(block, FALSE, &stream))) {
      Gdiplus::GpImage* decoded = nullptr;
      if (GdipLoadImageFromStream(stream, &decoded) == Gdiplus::Ok) image.reset(decoded);
      stream->Release();
    }
  }
  return MakeImage(std::move(image), std::move(block));
}

std::unique_ptr<PngImage> ScaledImage(const PngImage& image, int width, int height) {
  if (!image.Handle() || width <= 0 || height <= 0) return nullptr;
  Gdiplus::GpBitmap* created = nullptr;
  if (GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppPARGB, nullptr, &created) !=
      Gdiplus::Ok) {
    return nullptr;
  }
  ScopedGdipImage scaled(created);
  Gdiplus::GpGraphics* graphics = nullptr;
  if (GdipGetImageGraphicsContext(created, &graphics) != Gdiplus::Ok) return nullptr;
  {
    ScopedGdipGraphics owner(graphics);
    PrepareScaling(graphics);
    image.Draw(graphics, 0, 0, width, height);
  }
  return MakeImage(std::move(scaled), ScopedGlobal());
}

ScopedBitmap ImageBitmap(const PngImage& image, int width, int height) {
  if (!image.Handle() || width <= 0 || height <= 0) return ScopedBitmap();
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  ScopedGetDC screen(nullptr);
  ScopedBitmap bitmap(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  if (!bitmap.valid() || !memory.valid()) return ScopedBitmap();
  ScopedSelectObject select(memory, bitmap);
  Gdiplus::GpGraphics* graphics = nullptr;
  if (GdipCreateFromHDC(memory, &graphics) != Gdiplus::Ok) return ScopedBitmap();
  ScopedGdipGraphics owner(graphics);
  PrepareScaling(graphics);
  image.Draw(graphics, 0, 0, width, height);
  return bitmap;
}

#include "skin/png_image.h"

#include <cstring>
#include <new>

#include "mfc/winapp.h"

using namespace Gdiplus::DllExports;

PngImage::~PngImage() {
  // Disposing releases GDI+'s hold on the stream; only then may the block it reads go.
  if (image_) GdipDisposeImage(image_);
  if (block_) ::GlobalFree(block_);
}

UINT PngImage::Width() const {
  UINT width = 0;
  if (!image_ || GdipGetImageWidth(image_, &width) != Gdiplus::Ok) return 0;
  return width;
}

UINT PngImage::Height() const {
  UINT height = 0;
  if (!image_ || GdipGetImageHeight(image_, &height) != Gdiplus::Ok) return 0;
  return height;
}

void PngImage::Draw(Gdiplus::GpGraphics* graphics, int x, int y, int width, int height) const {
  if (image_ && graphics) GdipDrawImageRectI(graphics, image_, x, y, width, height);
}

namespace {

std::unique_ptr<PngImage> MakeImage(Gdiplus::GpImage* image, HGLOBAL block) {
  std::unique_ptr<PngImage> picture(new (std::nothrow) PngImage(image, block));
  if (!picture) {
    if (image) GdipDisposeImage(image);
    if (block) ::GlobalFree(block);
  }
  return picture;
}

// A bitmap resource as a GDI+ bitmap; the GDI bitmap is only borrowed for the copy.
std::unique_ptr<PngImage> LoadBitmapImage(UINT resourceId, HMODULE module) {
  Gdiplus::GpBitmap* bitmap = nullptr;
  HBITMAP gdiBitmap = ::LoadBitmapA(module, MAKEINTRESOURCEA(resourceId));
  if (gdiBitmap) {
    if (GdipCreateBitmapFromHBITMAP(gdiBitmap, nullptr, &bitmap) != Gdiplus::Ok) bitmap = nullptr;
    ::DeleteObject(gdiBitmap);
  }
  return MakeImage(bitmap, nullptr);
}

// The resource bytes in a block of their own: GDI+ may read the stream for as long as the
// image lives, while the resource itself is only borrowed.
HGLOBAL CopyResource(UINT resourceId, LPCSTR resourceType, HMODULE module) {
  HRSRC resource = ::FindResourceA(module, MAKEINTRESOURCEA(resourceId), resourceType);
  if (!resource) return nullptr;
  DWORD size = ::SizeofResource(module, resource);
  HGLOBAL loaded = ::LoadResource(module, resource);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return nullptr;
  HGLOBAL block = ::GlobalAlloc(GMEM_FIXED, size);
  if (!block) return nullptr;
  std::memcpy(::GlobalLock(block), bytes, size);
  ::GlobalUnlock(block);
  return block;
}

}  // namespace

std::unique_ptr<PngImage> LoadImageResource(UINT resourceId, LPCSTR resourceType,
                                            HMODULE module) {
  if (resourceType == RT_BITMAP) return LoadBitmapImage(resourceId, module);
  if (!module) module = AfxGetResourceHandle();

  HGLOBAL block = CopyResource(resourceId, resourceType, module);
  Gdiplus::GpImage* image = nullptr;
  if (block) {
    IStream* stream = nullptr;
    // The stream must not free the block: the picture owns it and frees it after GDI+.
    if (SUCCEEDED(::CreateStreamOnHGlobal(block, FALSE, &stream))) {
      if (GdipLoadImageFromStream(stream, &image) != Gdiplus::Ok) image = nullptr;
      stream->Release();
    }
  }
  return MakeImage(image, block);
}

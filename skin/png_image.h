// A picture with an alpha channel, decoded by GDI+ from the executable's resources: the skin of
// a layered window. GDI+ must run while any PngImage lives.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>

#include "skin/gdiplus_owners.h"

class PngImage {
 public:
  // `image` may be empty (nothing decoded); `block` is the global memory block that its stream
  // reads from (may be empty).
  PngImage(ScopedGdipImage image, ScopedGlobal block)
      : block_(std::move(block)), image_(std::move(image)) {}

  // Pixel size; 0 when nothing was decoded.
  UINT Width() const;
  UINT Height() const;
  // Draws the picture scaled to the rectangle; nothing when nothing was decoded.
  void Draw(Gdiplus::GpGraphics* graphics, int x, int y, int width, int height) const;
  Gdiplus::GpImage* Handle() const { return image_.get(); }

 private:
  // Disposing the image releases GDI+'s hold on the stream; only then may the block it reads
  // go: members are destroyed in reverse order.
  ScopedGlobal block_;
  ScopedGdipImage image_;
};

// The picture redrawn at `width` x `height` with high-quality bicubic interpolation; null when
// nothing was decoded or GDI+ fails.
std::unique_ptr<PngImage> ScaledImage(const PngImage& image, int width, int height);

// The picture drawn opaque at `width` x `height` (high-quality bicubic where the size changes)
// into a 24-bit bitmap, for GDI to draw; empty when that fails.
ScopedBitmap ImageBitmap(const PngImage& image, int width, int height);

// Loads picture `resourceId` of `resourceType` from `module` (null: the application's resource
// module). RT_BITMAP takes a bitmap resource instead. A missing or undecodable resource gives a
// picture of size 0; null only when memory runs out.
std::unique_ptr<PngImage> LoadImageResource(UINT resourceId, LPCWSTR resourceType,
                                            HMODULE module);

// A picture with an alpha channel, decoded by GDI+ from the executable's resources: the skin of
// a layered window. GDI+ must run while any PngImage lives.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>

class PngImage {
 public:
  // Takes ownership of `image` (may be null: nothing decoded) and of the global memory block
  // that its stream reads from (may be null).
  PngImage(Gdiplus::GpImage* image, HGLOBAL block) : image_(image), block_(block) {}
  ~PngImage();
  PngImage(const PngImage&) = delete;
  PngImage& operator=(const PngImage&) = delete;

  // Pixel size; 0 when nothing was decoded.
  UINT Width() const;
  UINT Height() const;
  // Draws the picture scaled to the rectangle; nothing when nothing was decoded.
  void Draw(Gdiplus::GpGraphics* graphics, int x, int y, int width, int height) const;
  Gdiplus::GpImage* Handle() const { return image_; }

 private:
  Gdiplus::GpImage* image_;
  HGLOBAL block_;
};

// Loads picture `resourceId` of `resourceType` from `module` (null: the application's resource
// module). RT_BITMAP takes a bitmap resource instead. A missing or undecodable resource gives a
// picture of size 0; null only when memory runs out.
std::unique_ptr<PngImage> LoadImageResource(UINT resourceId, LPCSTR resourceType,
                                            HMODULE module);

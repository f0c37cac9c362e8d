// Owners of GDI+ objects, like the owners of the other handles (mfc/scoped_win.h): each deletes
// what it holds on every path through the flat API, can be moved but not copied. GDI+ must
// still run when they let go.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "mfc/scoped_win.h"

namespace scoped_traits {

template <typename T, Gdiplus::GpStatus (*Delete)(T*)>
struct GdiplusObject {
  using Handle = T*;
  static T* None() { return nullptr; }
  static bool IsValid(T* h) { return h != nullptr; }
  static void Close(T* h) { Delete(h); }
};

inline Gdiplus::GpStatus DeleteGraphics(Gdiplus::GpGraphics* graphics) {
  using namespace Gdiplus::DllExports;
  return GdipDeleteGraphics(graphics);
}
inline Gdiplus::GpStatus DeletePen(Gdiplus::GpPen* pen) {
  using namespace Gdiplus::DllExports;
  return GdipDeletePen(pen);
}
// Bitmaps are images: one disposal for both.
inline Gdiplus::GpStatus DisposeImage(Gdiplus::GpImage* image) {
  using namespace Gdiplus::DllExports;
  return GdipDisposeImage(image);
}

}  // namespace scoped_traits

using ScopedGdipGraphics =
    UniqueHandle<scoped_traits::GdiplusObject<Gdiplus::GpGraphics, scoped_traits::DeleteGraphics>>;
using ScopedGdipPen =
    UniqueHandle<scoped_traits::GdiplusObject<Gdiplus::GpPen, scoped_traits::DeletePen>>;
using ScopedGdipImage =
    UniqueHandle<scoped_traits::GdiplusObject<Gdiplus::GpImage, scoped_traits::DisposeImage>>;

// The GDI+ flat functions this program uses, forwarded to gdiplus.dll loaded at run time from
// System32. gdiplus is not one of the DLLs the system always takes from its own folder, so an
// import of it would load a gdiplus.dll planted beside the installer (in a Downloads folder,
// say) into an elevated process. Each forwarder looks its function up once; without the DLL
// every call fails as GDI+ calls fail before start-up.
#include <windows.h>
#include <objidl.h>
// gdiplus.h needs the COM declarations above.
#include <gdiplus.h>

#include "platform/system_library_win32.h"

namespace {

template <typename Function>
Function GdiplusFunction(const char* name) {
  return platform::SystemFunction<Function>(L"gdiplus.dll", name);
}

}  // namespace

// Each definition repeats the declaration of gdiplus.h, so a signature that drifts from it
// fails to compile.
#define VANTREO_GDIPLUS_FORWARD(name, parameters, arguments)                  \
  GpStatus WINGDIPAPI name parameters {                                        \
    static const auto target = GdiplusFunction<decltype(&name)>(#name);        \
    return target ? target arguments : Gdiplus::GdiplusNotInitialized;         \
  }

namespace Gdiplus {

extern "C" {

VANTREO_GDIPLUS_FORWARD(GdiplusStartup,
                        (ULONG_PTR * token, const GdiplusStartupInput* input,
                         GdiplusStartupOutput* output),
                        (token, input, output))

VOID WINGDIPAPI GdiplusShutdown(ULONG_PTR token) {
  static const auto target = GdiplusFunction<decltype(&GdiplusShutdown)>("GdiplusShutdown");
  if (target) target(token);
}

}  // extern "C"

namespace DllExports {

extern "C" {

VANTREO_GDIPLUS_FORWARD(GdipBitmapGetPixel, (GpBitmap * bitmap, INT x, INT y, ARGB* color),
                        (bitmap, x, y, color))
VANTREO_GDIPLUS_FORWARD(GdipCreateBitmapFromHBITMAP,
                        (HBITMAP source, HPALETTE palette, GpBitmap** bitmap),
                        (source, palette, bitmap))
VANTREO_GDIPLUS_FORWARD(GdipCreateBitmapFromScan0,
                        (INT width, INT height, INT stride, PixelFormat format, BYTE* scan0,
                         GpBitmap** bitmap),
                        (width, height, stride, format, scan0, bitmap))
VANTREO_GDIPLUS_FORWARD(GdipCreateFromHDC, (HDC dc, GpGraphics** graphics), (dc, graphics))
VANTREO_GDIPLUS_FORWARD(GdipCreatePen1, (ARGB color, REAL width, GpUnit unit, GpPen** pen),
                        (color, width, unit, pen))
VANTREO_GDIPLUS_FORWARD(GdipDeleteGraphics, (GpGraphics * graphics), (graphics))
VANTREO_GDIPLUS_FORWARD(GdipDeletePen, (GpPen * pen), (pen))
VANTREO_GDIPLUS_FORWARD(GdipDisposeImage, (GpImage * image), (image))
VANTREO_GDIPLUS_FORWARD(GdipDrawImageI, (GpGraphics * graphics, GpImage* image, INT x, INT y),
                        (graphics, image, x, y))
VANTREO_GDIPLUS_FORWARD(GdipDrawImageRectI,
                        (GpGraphics * graphics, GpImage* image, INT x, INT y, INT width,
                         INT height),
                        (graphics, image, x, y, width, height))
VANTREO_GDIPLUS_FORWARD(GdipDrawLineI,
                        (GpGraphics * graphics, GpPen* pen, INT x1, INT y1, INT x2, INT y2),
                        (graphics, pen, x1, y1, x2, y2))
VANTREO_GDIPLUS_FORWARD(GdipGetImageGraphicsContext, (GpImage * image, GpGraphics** graphics),
                        (image, graphics))
VANTREO_GDIPLUS_FORWARD(GdipGetImageHeight, (GpImage * image, UINT* height), (image, height))
VANTREO_GDIPLUS_FORWARD(GdipGetImageWidth, (GpImage * image, UINT* width), (image, width))
VANTREO_GDIPLUS_FORWARD(GdipLoadImageFromStream, (IStream * stream, GpImage** image),
                        (stream, image))
VANTREO_GDIPLUS_FORWARD(GdipSaveImageToFile,
                        (GpImage * image, const WCHAR* file, const CLSID* encoder,
                         const EncoderParameters* parameters),
                        (image, file, encoder, parameters))
VANTREO_GDIPLUS_FORWARD(GdipSetInterpolationMode,
                        (GpGraphics * graphics, InterpolationMode mode), (graphics, mode))
VANTREO_GDIPLUS_FORWARD(GdipSetPixelOffsetMode, (GpGraphics * graphics, PixelOffsetMode mode),
                        (graphics, mode))
VANTREO_GDIPLUS_FORWARD(GdipSetSmoothingMode, (GpGraphics * graphics, SmoothingMode mode),
                        (graphics, mode))

}  // extern "C"

}  // namespace DllExports

}  // namespace Gdiplus

// Skin pictures from "IMG" resources: size, alpha, missing and corrupt resources, independent
// copies, and the bitmap path.
#include "skin/png_image.h"

#include <gtest/gtest.h>

#include "mfc/scoped_win.h"
#include "tests/skin/gui_support.h"
#include "tests/skin/res/skin_test_ids.h"

using namespace Gdiplus::DllExports;

namespace skintest {
namespace {

Gdiplus::ARGB PixelOf(const PngImage& image, int x, int y) {
  Gdiplus::ARGB colour = 0;
  EXPECT_EQ(GdipBitmapGetPixel(static_cast<Gdiplus::GpBitmap*>(image.Handle()), x, y, &colour),
            Gdiplus::Ok);
  return colour;
}

// Draws the picture into a 32-bit DIB the way the layered host does and reads it back.
Pixels DrawIntoDib(const PngImage& image) {
  int width = static_cast<int>(image.Width());
  int height = static_cast<int>(image.Height());
  ScopedGetDC screen(nullptr);
  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  ScopedBitmap dib(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  {
    ScopedSelectObject select(memory, dib);
    ScopedGdipGraphics graphics;
    EXPECT_EQ(GdipCreateFromHDC(memory, graphics.receive()), Gdiplus::Ok);
    image.Draw(graphics, 0, 0, width, height);
  }
  return ReadBitmap(dib);
}

TEST(PngImage, SkinResourceLoadsAs502By371WithItsAlphaChannel) {
  std::unique_ptr<PngImage> image = LoadImageResource(IDB_SKIN, L"IMG", nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Width(), 502u);
  EXPECT_EQ(image->Height(), 371u);
  // Transparent soft edge, opaque body (the bar track at y 295).
  EXPECT_EQ(PixelOf(*image, 0, 0) >> 24, 0u);
  EXPECT_EQ(PixelOf(*image, 250, 299), 0xFFE2E8F0u);

  // The alpha survives drawing into the composite's DIB.
  Pixels drawn = DrawIntoDib(*image);
  ASSERT_EQ(drawn.width, 502);
  EXPECT_EQ(Alpha(drawn.At(0, 0)), 0);
  EXPECT_EQ(drawn.At(250, 299), 0xFFE2E8F0u);
  EXPECT_EQ(Alpha(drawn.At(30, 256)), 255);
}

TEST(PngImage, MissingResourceGivesAnEmptyPictureThatDrawsNothing) {
  std::unique_ptr<PngImage> image = LoadImageResource(998, L"IMG", nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Width(), 0u);
  EXPECT_EQ(image->Height(), 0u);
  image->Draw(nullptr, 0, 0, 10, 10);
}

TEST(PngImage, CorruptResourceGivesAnEmptyPicture) {
  std::unique_ptr<PngImage> image = LoadImageResource(IDB_NOT_A_PNG, L"IMG", nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Width(), 0u);
  EXPECT_EQ(image->Height(), 0u);
}

TEST(PngImage, LoadingTwiceGivesTwoIndependentPictures) {
  std::unique_ptr<PngImage> first =
      LoadImageResource(IDB_SKIN, L"IMG", ::GetModuleHandleW(nullptr));
  std::unique_ptr<PngImage> second = LoadImageResource(IDB_SKIN, L"IMG", nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first->Handle(), second->Handle());
  first.reset();  // its block goes with it; the second reads its own
  EXPECT_EQ(second->Width(), 502u);
  Pixels drawn = DrawIntoDib(*second);
  EXPECT_EQ(drawn.At(250, 299), 0xFFE2E8F0u);
}

TEST(PngImage, BitmapResourcesLoadThroughTheBitmapPath) {
  std::unique_ptr<PngImage> image =
      LoadImageResource(IDB_MINIMIZE, RT_BITMAP, ::GetModuleHandleW(nullptr));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->Width(), 66u);
  EXPECT_EQ(image->Height(), 21u);
  std::unique_ptr<PngImage> missing =
      LoadImageResource(997, RT_BITMAP, ::GetModuleHandleW(nullptr));
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->Width(), 0u);
}

}  // namespace
}  // namespace skintest

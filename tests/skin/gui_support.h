// Helpers for the skin tests, which run under Wine on a virtual display: GDI+ for the process,
// a message pump like the framework's modal loop, the process's GDI object count, pixels of
// windows and bitmaps, screenshots, and a watcher that answers message boxes.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace skintest {

// Pumps this thread's messages for `ms` milliseconds, offering each to PreTranslateMessage as
// the framework's loops do.
void Pump(DWORD ms);
// Pumps until `done` holds or `timeoutMs` passes; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Live GDI objects of this process (the system's shared handle table, as Windows and Wine keep
// it); -1 when unavailable.
int CountGdiObjects();

// 32-bit pixels (0xAARRGGBB as BGRA bytes read) of a bitmap, top row first.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<DWORD> data;
  DWORD At(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
};
Pixels ReadBitmap(HBITMAP bitmap);
// The pixels of a device context (its selected bitmap).
Pixels ReadDeviceContext(HDC dc, int width, int height);
// What `window` paints of itself (WM_PRINT into a screen-compatible bitmap).
Pixels PrintWindowClient(HWND window);
// A region of a bitmap, copied through a memory DC.
Pixels ReadBitmapRegion(HBITMAP bitmap, int x, int y, int width, int height);
// What the screen shows.
Pixels CaptureScreen();

// Writes the screen as a PNG named `name` into the screenshot folder (SKIN_SHOTS); false when
// there is none or the encoder fails.
bool SaveScreenshot(const std::string& name);

// RGB of a pixel, dropping alpha.
inline DWORD Rgb(DWORD pixel) { return pixel & 0x00FFFFFF; }
inline int Alpha(DWORD pixel) { return static_cast<int>(pixel >> 24); }

// Presses and moves the mouse through the system's input queue (absolute screen pixels).
void MoveMouse(int x, int y);
void PressLeft();
void ReleaseLeft();

// Answers message boxes of this process on a thread of its own: records each box's text, then
// presses its OK button.
class MessageBoxWatcher {
 public:
  MessageBoxWatcher();
  ~MessageBoxWatcher();
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;
  std::vector<std::string> Texts();

 private:
  void Run();
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<std::string> texts_;
  std::set<HWND> answered_;
  // Last: the thread runs Run() at once, so everything it touches must be built before it.
  std::thread thread_;
};

}  // namespace skintest

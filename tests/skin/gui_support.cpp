#include "tests/skin/gui_support.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <cstdint>
#include <cstdlib>

#include "mfc/afxwin.h"
#include "platform/text_win32.h"

using namespace Gdiplus::DllExports;

namespace skintest {

namespace {

// GDI+ for the whole test program, as the installer starts it for the whole process.
class GdiplusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};
::testing::Environment* const gdiplusEnvironment =
    ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

void PumpOnce() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    HWND root = msg.hwnd ? ::GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && CWnd::WalkPreTranslateTree(root, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

BITMAPINFO TopDown32(int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

// The x64 layout of one entry of the shared GDI handle table (PEB + 0xF8).
struct GdiTableEntry {
  uint64_t object;
  uint32_t owner;
  uint16_t unique;
  uint8_t type;
  uint8_t flags;
  uint64_t user;
};
constexpr size_t kGdiTableEntries = 0x10000;

const CLSID kPngEncoder = {0x557CF406, 0x1A04, 0x11D3,
                           {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

void SendMouse(DWORD flags, int x, int y) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  int width = ::GetSystemMetrics(SM_CXSCREEN);
  int height = ::GetSystemMetrics(SM_CYSCREEN);
  input.mi.dx = static_cast<LONG>((x * 65536 + width / 2) / width);
  input.mi.dy = static_cast<LONG>((y * 65536 + height / 2) / height);
  input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE;
  ::SendInput(1, &input, sizeof(input));
}

}  // namespace

void Pump(DWORD ms) {
  DWORD start = ::GetTickCount();
  do {
    PumpOnce();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  } while (::GetTickCount() - start < ms);
  PumpOnce();
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start >= timeoutMs) return done();
    PumpOnce();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  return true;
}

int CountGdiObjects() {
  PROCESS_BASIC_INFORMATION basic{};
  if (::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &basic,
                                  sizeof(basic), nullptr) != 0) {
    return -1;
  }
  auto* peb = reinterpret_cast<const char*>(basic.PebBaseAddress);
  auto* table = *reinterpret_cast<GdiTableEntry* const*>(peb + 0xF8);
  if (!table) return -1;
  int count = 0;
  for (size_t i = 0; i < kGdiTableEntries; ++i) {
    if (table[i].type != 0) ++count;
  }
  return count;
}

Pixels ReadBitmap(HBITMAP bitmap) {
  Pixels pixels;
  BITMAP info{};
  if (!::GetObjectA(bitmap, sizeof(info), &info)) return pixels;
  return ReadBitmapRegion(bitmap, 0, 0, info.bmWidth, info.bmHeight);
}

Pixels ReadBitmapRegion(HBITMAP bitmap, int x, int y, int width, int height) {
  Pixels pixels;
  ScopedGetDC screen(nullptr);
  AutoDeleteDC source(::CreateCompatibleDC(screen));
  AutoDeleteDC target(::CreateCompatibleDC(screen));
  BITMAPINFO info = TopDown32(width, height);
  void* bits = nullptr;
  ScopedBitmap copy(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!copy.valid()) return pixels;
  {
    ScopedSelectObject selectSource(source, bitmap);
    ScopedSelectObject selectTarget(target, copy);
    ::BitBlt(target, 0, 0, width, height, source, x, y, SRCCOPY);
  }
  ::GdiFlush();
  pixels.width = width;
  pixels.height = height;
  auto* words = static_cast<const DWORD*>(bits);
  pixels.data.assign(words, words + static_cast<size_t>(width) * height);
  return pixels;
}

Pixels ReadDeviceContext(HDC dc, int width, int height) {
  Pixels pixels;
  ScopedGetDC screen(nullptr);
  AutoDeleteDC target(::CreateCompatibleDC(screen));
  BITMAPINFO info = TopDown32(width, height);
  void* bits = nullptr;
  ScopedBitmap copy(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!copy.valid()) return pixels;
  {
    ScopedSelectObject select(target, copy);
    ::BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
  }
  ::GdiFlush();
  pixels.width = width;
  pixels.height = height;
  auto* words = static_cast<const DWORD*>(bits);
  pixels.data.assign(words, words + static_cast<size_t>(width) * height);
  return pixels;
}

Pixels PrintWindowClient(HWND window) {
  Pixels pixels;
  RECT rect;
  ::GetClientRect(window, &rect);
  ScopedGetDC screen(nullptr);
  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  ScopedBitmap bitmap(::CreateCompatibleBitmap(screen, rect.right, rect.bottom));
  if (!bitmap.valid()) return pixels;
  {
    ScopedSelectObject select(memory, bitmap);
    ::SendMessageW(window, WM_PRINT, reinterpret_cast<WPARAM>(memory.get()),
                   PRF_CLIENT | PRF_ERASEBKGND);
  }
  return ReadBitmap(bitmap);
}

Pixels CaptureScreen() {
  int width = ::GetSystemMetrics(SM_CXSCREEN);
  int height = ::GetSystemMetrics(SM_CYSCREEN);
  ScopedGetDC screen(nullptr);
  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  ScopedBitmap bitmap(::CreateCompatibleBitmap(screen, width, height));
  {
    ScopedSelectObject select(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT);
  }
  return ReadBitmap(bitmap);
}

bool SaveScreenshot(const std::string& name) {
  const char* folder = std::getenv("SKIN_SHOTS");
  if (!folder || !*folder) return false;
  int width = ::GetSystemMetrics(SM_CXSCREEN);
  int height = ::GetSystemMetrics(SM_CYSCREEN);
  ScopedGetDC screen(nullptr);
  AutoDeleteDC memory(::CreateCompatibleDC(screen));
  ScopedBitmap bitmap(::CreateCompatibleBitmap(screen, width, height));
  {
    ScopedSelectObject select(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT);
  }
  std::string path = std::string(folder) + "\\" + name;
  wchar_t widePath[MAX_PATH] = {};
  ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, widePath, MAX_PATH);
  Gdiplus::GpBitmap* image = nullptr;
  if (GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) != Gdiplus::Ok) return false;
  bool saved = GdipSaveImageToFile(image, widePath, &kPngEncoder, nullptr) == Gdiplus::Ok;
  GdipDisposeImage(image);
  return saved;
}

void MoveMouse(int x, int y) { SendMouse(MOUSEEVENTF_MOVE, x, y); }

void PressLeft() {
  POINT at;
  ::GetCursorPos(&at);
  SendMouse(MOUSEEVENTF_LEFTDOWN, at.x, at.y);
}

void ReleaseLeft() {
  POINT at;
  ::GetCursorPos(&at);
  SendMouse(MOUSEEVENTF_LEFTUP, at.x, at.y);
}

MessageBoxWatcher::MessageBoxWatcher() : thread_([this] { Run(); }) {}

MessageBoxWatcher::~MessageBoxWatcher() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> MessageBoxWatcher::Texts() {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_;
}

void MessageBoxWatcher::Run() {
  while (!stop_) {
    {
      // A handle can come back for the next box once the last one is gone.
      std::lock_guard<std::mutex> guard(lock_);
      for (auto it = answered_.begin(); it != answered_.end();) {
        it = ::IsWindow(*it) ? std::next(it) : answered_.erase(it);
      }
    }
    ::EnumWindows(
        [](HWND window, LPARAM self) -> BOOL {
          auto* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
          DWORD process = 0;
          ::GetWindowThreadProcessId(window, &process);
          char className[32] = {};
          ::GetClassNameA(window, className, sizeof(className));
          // A message box is a dialog with its text in control 0xFFFF.
          if (process != ::GetCurrentProcessId() || std::string(className) != "#32770" ||
              !::IsWindowVisible(window) || !::GetDlgItem(window, 0xFFFF)) {
            return TRUE;
          }
          std::lock_guard<std::mutex> guard(watcher->lock_);
          if (watcher->answered_.insert(window).second) {
            wchar_t text[1024] = {};
            ::GetDlgItemTextW(window, 0xFFFF, text, 1024);  // the box's text
            watcher->texts_.push_back(platform::WideToUtf8(text));
            ::PostMessageW(window, WM_COMMAND, IDOK, 0);
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(this));
    ::Sleep(20);
  }
}

}  // namespace skintest

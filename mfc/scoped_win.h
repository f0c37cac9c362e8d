// One small owner per Win32 handle kind: each closes what it holds on every path, can be moved
// but not copied, and treats the kind's "none" values as empty.
#pragma once

#include <windows.h>
#include <objbase.h>

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  operator Handle() const { return handle_; }
  bool valid() const { return Traits::IsValid(handle_); }

  // Gives the handle up without closing it.
  Handle release() {
    Handle handle = handle_;
    handle_ = Traits::None();
    return handle;
  }
  // Closes the held handle (if any) and takes `handle`.
  void reset(Handle handle = Traits::None()) {
    if (handle == handle_) return;
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = handle;
  }
  // For APIs that return a handle through an out-parameter: closes the old one first.
  Handle* receive() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::None();
};

namespace scoped_traits {

template <typename T>
struct GdiObject {
  using Handle = T;
  static T None() { return nullptr; }
  static bool IsValid(T h) { return h != nullptr; }
  static void Close(T h) { ::DeleteObject(h); }
};

struct MemoryDC {
  using Handle = HDC;
  static HDC None() { return nullptr; }
  static bool IsValid(HDC h) { return h != nullptr; }
  static void Close(HDC h) { ::DeleteDC(h); }
};

// Kernel handles use two "none" values: null (threads, mutexes) and INVALID_HANDLE_VALUE (files).
struct Kernel {
  using Handle = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct RegistryKey {
  using Handle = HKEY;
  static HKEY None() { return nullptr; }
  static bool IsValid(HKEY h) { return h != nullptr; }
  static void Close(HKEY h) { ::RegCloseKey(h); }
};

struct Icon {
  using Handle = HICON;
  static HICON None() { return nullptr; }
  static bool IsValid(HICON h) { return h != nullptr; }
  static void Close(HICON h) { ::DestroyIcon(h); }
};

struct Cursor {
  using Handle = HCURSOR;
  static HCURSOR None() { return nullptr; }
  static bool IsValid(HCURSOR h) { return h != nullptr; }
  static void Close(HCURSOR h) { ::DestroyCursor(h); }
};

// Memory blocks from GlobalAlloc.
struct GlobalMemory {
  using Handle = HGLOBAL;
  static HGLOBAL None() { return nullptr; }
  static bool IsValid(HGLOBAL h) { return h != nullptr; }
  static void Close(HGLOBAL h) { ::GlobalFree(h); }
};

struct Module {
  using Handle = HMODULE;
  static HMODULE None() { return nullptr; }
  static bool IsValid(HMODULE h) { return h != nullptr; }
  static void Close(HMODULE h) { ::FreeLibrary(h); }
};

}  // namespace scoped_traits

template <typename T>
using ScopedGdiObj = UniqueHandle<scoped_traits::GdiObject<T>>;
using ScopedBitmap = ScopedGdiObj<HBITMAP>;
using ScopedBrush = ScopedGdiObj<HBRUSH>;
using ScopedFont = ScopedGdiObj<HFONT>;
using ScopedPen = ScopedGdiObj<HPEN>;
using AutoDeleteDC = UniqueHandle<scoped_traits::MemoryDC>;  // from CreateCompatibleDC
using ScopedHandle = UniqueHandle<scoped_traits::Kernel>;
using ScopedRegKey = UniqueHandle<scoped_traits::RegistryKey>;
using ScopedIcon = UniqueHandle<scoped_traits::Icon>;      // icons we created or copied
using ScopedCursor = UniqueHandle<scoped_traits::Cursor>;  // cursors we created or copied
using ScopedModule = UniqueHandle<scoped_traits::Module>;  // from LoadLibrary
using ScopedGlobal = UniqueHandle<scoped_traits::GlobalMemory>;

// A window's (or the screen's, with a null window) device context from GetDC.
class ScopedGetDC {
 public:
  explicit ScopedGetDC(HWND window) : window_(window), dc_(::GetDC(window)) {}
  ~ScopedGetDC() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  ScopedGetDC(const ScopedGetDC&) = delete;
  ScopedGetDC& operator=(const ScopedGetDC&) = delete;
  HDC get() const { return dc_; }
  operator HDC() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// Selects a GDI object into a DC and puts the previous one back on destruction.
class ScopedSelectObject {
 public:
  ScopedSelectObject(HDC dc, HGDIOBJ object)
      : dc_(dc), previous_(dc && object ? ::SelectObject(dc, object) : nullptr) {}
  ~ScopedSelectObject() {
    if (previous_ && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
  }
  ScopedSelectObject(const ScopedSelectObject&) = delete;
  ScopedSelectObject& operator=(const ScopedSelectObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// BeginPaint / EndPaint for one WM_PAINT.
class ScopedPaint {
 public:
  explicit ScopedPaint(HWND window) : window_(window) { dc_ = ::BeginPaint(window, &paint_); }
  ~ScopedPaint() { ::EndPaint(window_, &paint_); }
  ScopedPaint(const ScopedPaint&) = delete;
  ScopedPaint& operator=(const ScopedPaint&) = delete;
  HDC get() const { return dc_; }
  operator HDC() const { return dc_; }
  const PAINTSTRUCT& paint() const { return paint_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

// COM on this thread in a single-threaded apartment (the shell's calls and objects ask for it);
// undone only when this object did it.
class ScopedCom {
 public:
  ScopedCom()
      : initialized_(SUCCEEDED(
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ~ScopedCom() {
    if (initialized_) ::CoUninitialize();
  }
  ScopedCom(const ScopedCom&) = delete;
  ScopedCom& operator=(const ScopedCom&) = delete;

 private:
  bool initialized_;
};

// Deletes a GDI object kept as a plain member and nulls it.
template <typename T>
void DeleteObjectSafe(T* object) {
  if (*object) {
    ::DeleteObject(*object);
    *object = nullptr;
  }
}

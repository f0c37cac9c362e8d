// GDI+ for the life of the process: started on construction, shut down on destruction.
#pragma once

#include <windows.h>

#include <basetsd.h>

class GdiplusSession {
 public:
  // Version 1, no debug callback, background thread and external codecs not suppressed. A
  // failure is not reported: skin pictures then fail to load.
  GdiplusSession();
  ~GdiplusSession();
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;

  bool Started() const { return token_ != 0; }

 private:
  ULONG_PTR token_ = 0;
};

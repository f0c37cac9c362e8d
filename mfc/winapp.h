// The application object, message boxes and worker threads. The library's WinMain runs the one
// CWinApp's InitInstance; a FALSE result ends the process without a message loop.
#pragma once

#include <windows.h>

#include <string>

class CWnd;

class CWinApp {
 public:
  // A null name means the executable's file name without its extension.
  explicit CWinApp(const char* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Runs from the program's entry point; FALSE ends the program.
  virtual BOOL InitInstance() { return TRUE; }
  // The message loop, when InitInstance returned TRUE; ends with WM_QUIT.
  virtual int Run();
  // Runs last; its result is the process exit code.
  virtual int ExitInstance() { return 0; }

  CWnd* m_pMainWnd = nullptr;
  HINSTANCE m_hInstance = nullptr;
  std::string m_appName;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
// The module whose resources (dialogs, bitmaps, strings) the framework loads.
HINSTANCE AfxGetResourceHandle();
// No control of this program needs an ActiveX container; kept for the start-up sequence.
inline void AfxEnableControlContainer() {}

// A message box captioned with the application's name, owned by the main window when it has
// one. Returns the button pressed (IDOK, IDYES, ...).
int AfxMessageBox(const char* text, UINT type = MB_OK, UINT helpId = 0);

using AFX_THREADPROC = UINT (*)(void* param);

// A worker thread. With m_bAutoDelete (the default) the object deletes itself, closing the
// handle, when the thread ends; the caller must not touch it after starting it. To wait for a
// thread, start it CREATE_SUSPENDED, clear m_bAutoDelete, ResumeThread, wait on m_hThread, then
// delete the object.
class CWinThread {
 public:
  CWinThread(AFX_THREADPROC proc, void* param) : m_proc(proc), m_param(param) {}
  ~CWinThread();
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;
  DWORD ResumeThread() { return ::ResumeThread(m_hThread); }

  HANDLE m_hThread = nullptr;
  UINT m_nThreadID = 0;
  BOOL m_bAutoDelete = TRUE;

 private:
  friend CWinThread* AfxBeginThread(AFX_THREADPROC, void*, int, UINT, DWORD,
                                    LPSECURITY_ATTRIBUTES);
  static unsigned __stdcall Start(void* self);
  AFX_THREADPROC m_proc;
  void* m_param;
};

// Starts `proc(param)` on a new thread; null when the thread could not be created.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, void* param,
                           int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                           DWORD createFlags = 0, LPSECURITY_ATTRIBUTES security = nullptr);

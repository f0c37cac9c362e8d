#include "mfc/winapp.h"

#include "platform/system_library_win32.h"
#include "platform/text_win32.h"

#include <process.h>

#include "mfc/wnd.h"

namespace {

CWinApp* theApp = nullptr;

std::string ExecutableBaseName() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  std::string name = platform::WideToUtf8(std::wstring(path, length));
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace

CWinApp::CWinApp(const char* appName)
    : m_hInstance(::GetModuleHandleW(nullptr)),
      m_appName(appName ? appName : ExecutableBaseName()) {
  theApp = this;
}

CWinApp::~CWinApp() {
  if (theApp == this) theApp = nullptr;
}

int CWinApp::Run() {
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (m_pMainWnd && CWnd::WalkPreTranslateTree(m_pMainWnd->m_hWnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return ExitInstance();
}

CWinApp* AfxGetApp() { return theApp; }

CWnd* AfxGetMainWnd() { return theApp ? theApp->m_pMainWnd : nullptr; }

HINSTANCE AfxGetInstanceHandle() {
  return theApp && theApp->m_hInstance ? theApp->m_hInstance : ::GetModuleHandleW(nullptr);
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

int AfxMessageBox(const char* text, UINT type, UINT /*helpId*/) {
  std::string caption = theApp ? theApp->m_appName : ExecutableBaseName();
  // Owned by the main window's active popup when it has a window, so that it is modal to it.
  HWND owner = nullptr;
  CWnd* main = AfxGetMainWnd();
  if (main && ::IsWindow(main->m_hWnd)) owner = ::GetLastActivePopup(main->m_hWnd);
  return ::MessageBoxW(owner, platform::Utf8ToWide(text).c_str(),
                       platform::Utf8ToWide(caption).c_str(), type);
}

CWinThread::~CWinThread() {
  if (m_hThread) ::CloseHandle(m_hThread);
}

unsigned __stdcall CWinThread::Start(void* self) {
  auto* thread = static_cast<CWinThread*>(self);
  unsigned result = thread->m_proc(thread->m_param);
  if (thread->m_bAutoDelete) delete thread;
  return result;
}

CWinThread* AfxBeginThread(AFX_THREADPROC proc, void* param, int priority, UINT stackSize,
                           DWORD createFlags, LPSECURITY_ATTRIBUTES security) {
  auto* thread = new CWinThread(proc, param);
  unsigned id = 0;
  // Started suspended so that the object is complete before the procedure can run (and, with
  // auto-delete, delete it).
  uintptr_t handle = _beginthreadex(security, stackSize, &CWinThread::Start, thread,
                                    CREATE_SUSPENDED, &id);
  if (handle == 0) {
    delete thread;
    return nullptr;
  }
  thread->m_hThread = reinterpret_cast<HANDLE>(handle);
  thread->m_nThreadID = id;
  ::SetThreadPriority(thread->m_hThread, priority);
  if (!(createFlags & CREATE_SUSPENDED)) ::ResumeThread(thread->m_hThread);
  return thread;
}

// The program's entry point: the framework runs the application object.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything loads a DLL: only System32 is searched, never the program's own folder (a
  // Downloads folder, where anyone may have put a DLL of a system name) nor the current one.
  platform::RestrictDllSearchToSystem32();
  // The system's own DLLs load these by name when windows and themes first appear, some on
  // paths that ignore the restriction; loaded from System32 now, those later loads find them.
  for (const wchar_t* name : {L"uxtheme.dll", L"dwmapi.dll"}) platform::SystemLibrary(name);
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  app->m_hInstance = instance;
  if (!app->InitInstance()) {
    if (app->m_pMainWnd && app->m_pMainWnd->m_hWnd) app->m_pMainWnd->DestroyWindow();
    return app->ExitInstance();
  }
  return app->Run();
}

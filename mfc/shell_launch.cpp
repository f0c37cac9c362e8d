#include "mfc/shell_launch.h"

#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <string>

#include "platform/text_win32.h"

namespace {

constexpr int kShellSucceeded = 33;  // any ShellExecute result above 32 means success
// SID_STopLevelBrowser, named here so that no GUID library is linked for it.
const GUID kTopLevelBrowser = {0x4c96be40, 0x915c, 0x11cf, {0x99, 0xd3, 0x00, 0xaa, 0x00, 0x4a, 0xe8, 0x37}};

// Owns one COM interface pointer.
template <typename Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (pointer_) pointer_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  Interface** Out() { return &pointer_; }
  void** OutVoid() { return reinterpret_cast<void**>(&pointer_); }
  Interface* operator->() const { return pointer_; }
  Interface* Get() const { return pointer_; }

 private:
  Interface* pointer_ = nullptr;
};

// A BSTR of a UTF-8 string; freed with the object.
class Bstr {
 public:
  explicit Bstr(const char* text) {
    if (text != nullptr) value_ = ::SysAllocString(platform::Utf8ToWide(text).c_str());
  }
  ~Bstr() { ::SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR Get() const { return value_; }

 private:
  BSTR value_ = nullptr;
};

VARIANT StringVariant(const Bstr& text) {
  VARIANT variant;
  ::VariantInit(&variant);
  if (text.Get() != nullptr) {
    variant.vt = VT_BSTR;
    variant.bstrVal = text.Get();  // borrowed: the Bstr frees it
  }
  return variant;
}

// The shell dispatch object of the desktop the user is signed in to.
bool DesktopShell(ComPtr<IShellDispatch2>& shell) {
  ComPtr<IShellWindows> windows;
  if (FAILED(::CoCreateInstance(__uuidof(ShellWindows), nullptr, CLSCTX_LOCAL_SERVER,
                                __uuidof(IShellWindows), windows.OutVoid())))
    return false;
  VARIANT location;
  ::VariantInit(&location);
  location.vt = VT_I4;
  location.lVal = CSIDL_DESKTOP;
  VARIANT empty;
  ::VariantInit(&empty);
  long window = 0;
  ComPtr<IDispatch> desktop;
  if (windows->FindWindowSW(&location, &empty, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                            desktop.Out()) != S_OK || desktop.Get() == nullptr)
    return false;
  ComPtr<IServiceProvider> services;
  ComPtr<IShellBrowser> browser;
  ComPtr<IShellView> view;
  ComPtr<IDispatch> background;
  ComPtr<IShellFolderViewDual> folderView;
  ComPtr<IDispatch> application;
  return SUCCEEDED(desktop->QueryInterface(__uuidof(IServiceProvider), services.OutVoid())) &&
         SUCCEEDED(services->QueryService(kTopLevelBrowser, __uuidof(IShellBrowser),
                                          browser.OutVoid())) &&
         SUCCEEDED(browser->QueryActiveShellView(view.Out())) &&
         SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, __uuidof(IDispatch), background.OutVoid())) &&
         SUCCEEDED(background->QueryInterface(__uuidof(IShellFolderViewDual), folderView.OutVoid())) &&
         SUCCEEDED(folderView->get_Application(application.Out())) &&
         SUCCEEDED(application->QueryInterface(__uuidof(IShellDispatch2), shell.OutVoid()));
}

bool ExecuteThroughDesktop(const char* file, const char* parameters, const char* folder,
                           int showCommand) {
  ComPtr<IShellDispatch2> shell;
  if (!DesktopShell(shell)) return false;
  Bstr fileText(file), parameterText(parameters), folderText(folder), verb("open");
  VARIANT show;
  ::VariantInit(&show);
  show.vt = VT_I4;
  show.lVal = showCommand;
  return SUCCEEDED(shell->ShellExecute(fileText.Get(), StringVariant(parameterText),
                                       StringVariant(folderText), StringVariant(verb), show));
}

}  // namespace

ShellLaunch OpenAsUser(const char* file, const char* parameters, const char* folder,
                       int showCommand, int* shellCode) {
  if (ExecuteThroughDesktop(file, parameters, folder, showCommand)) {
    if (shellCode) *shellCode = kShellSucceeded;
    return ShellLaunch::AsUser;
  }
  const std::wstring wideFile = platform::Utf8ToWide(file);
  const std::wstring wideParameters = platform::Utf8ToWide(parameters);
  const std::wstring wideFolder = platform::Utf8ToWide(folder);
  const auto code = static_cast<int>(reinterpret_cast<INT_PTR>(::ShellExecuteW(
      nullptr, L"open", wideFile.c_str(), parameters ? wideParameters.c_str() : nullptr,
      folder ? wideFolder.c_str() : nullptr, showCommand)));
  if (shellCode) *shellCode = code;
  return code > 32 ? ShellLaunch::Elevated : ShellLaunch::Failed;
}

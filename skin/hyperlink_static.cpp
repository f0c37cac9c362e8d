#include "skin/hyperlink_static.h"

#include <shellapi.h>

#include "mfc/scoped_win.h"
#include "mfc/shell_launch.h"
#include "platform/text_win32.h"
#include "skin/focus_cue.h"

#include <cstdio>

namespace {

constexpr UINT_PTR kToolId = 1;
constexpr size_t kCommandBufferSize = 520;
constexpr DWORD kRegistryValueSize = 260;
constexpr int kShellFallbackCode = SE_ERR_DLLNOTFOUND;  // 32: the one code that tries ".htm"
constexpr UINT kRedrawNow = RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW;
constexpr int kStarted = 33;  // what WinExec answers for a program it started

// Starts `commandLine` as WinExec would, but with the line as UTF-16, so that a browser in a
// folder of any script starts: above 31 when it started, else WinExec's code of the failure.
int StartCommandLine(const std::string& commandLine, int showCommand) {
  std::wstring line = platform::Utf8ToWide(commandLine);  // CreateProcessW may write into it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(showCommand);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
    const DWORD error = ::GetLastError();
    const bool known = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                       error == ERROR_BAD_FORMAT;
    return known ? static_cast<int>(error) : 0;
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return kStarted;
}

}  // namespace

LONG ReadMachineClassDefault(const std::string& keyName, std::string* value) {
  // The machine's classes only: HKEY_CLASSES_ROOT merges in the user's own, which any program
  // of the user may write, and the command read here runs with our rights.
  const std::string machineKey = "Software\\Classes\\" + keyName;
  HKEY opened = nullptr;
  LONG error =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, platform::Utf8ToWide(machineKey).c_str(), 0,
                      KEY_QUERY_VALUE, &opened);
  if (error != ERROR_SUCCESS) return error;
  ScopedRegKey key(opened);
  wchar_t buffer[kRegistryValueSize] = {};
  LONG size = sizeof(buffer);
  error = ::RegQueryValueW(key, nullptr, buffer, &size);
  if (error != ERROR_SUCCESS) return error;
  buffer[kRegistryValueSize - 1] = L'\0';
  *value = platform::WideToUtf8(buffer);
  return ERROR_SUCCESS;
}

bool BuildHtmFallbackCommand(const std::string& registryCommand, const std::string& target,
                             std::string* commandLine) {
  std::string command = registryCommand;
  // UTF-8: no byte of a longer character is ASCII, so a plain search finds the placeholder.
  size_t cut = command.find("\"%1\"");
  if (cut == std::string::npos) cut = command.find("%1");
  if (cut != std::string::npos) command.erase(cut);
  // Whatever followed the placeholder is dropped; the target goes in unquoted.
  command += ' ';
  command += target;
  if (command.size() >= kCommandBufferSize) return false;
  *commandLine = command;
  return true;
}

HyperLinkStatic::~HyperLinkStatic() {
  // The control must not keep painting with a font that is about to go.
  if (m_hWnd && linkFont.valid() && GetFont() == linkFont.get()) SetFont(nullptr, FALSE);
}

void HyperLinkStatic::PreSubclassWindow() {
  ::SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(GetStyle() | SS_NOTIFY | WS_TABSTOP));
  if (url.empty()) url = GetWindowText();
  if (GetWindowText().empty()) SetWindowText(url.c_str());

  UnderlineFont(GetFont());
  LoadHandCursor();

  if (tooltip.Create(this, 0)) {
    RECT rect;
    GetClientRect(&rect);
    tooltip.AddTool(this, url.c_str(), &rect, kToolId);
  }
  CStatic::PreSubclassWindow();
}

void HyperLinkStatic::SetLink(const std::string& target) {
  url = target;
  if (!m_hWnd) return;
  FitToText();
  if (tooltip.m_hWnd) tooltip.UpdateTipText(url.c_str(), this, kToolId);
}

BOOL HyperLinkStatic::PreTranslateMessage(MSG* msg) {
  if (tooltip.m_hWnd) tooltip.RelayEvent(msg);
  // Before the dialog, which would take Enter for its default button.
  if (msg->message == WM_KEYDOWN && msg->hwnd == m_hWnd &&
      (msg->wParam == VK_RETURN || msg->wParam == VK_SPACE)) {
    OnLinkClicked();
    return TRUE;
  }
  return CStatic::PreTranslateMessage(msg);
}

LRESULT HyperLinkStatic::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CStatic::WindowProc(message, wParam, lParam);
  if (ChangesFocusCue(message)) {
    Invalidate(TRUE);
  } else if ((message == WM_PAINT || message == WM_PRINTCLIENT) && FocusCueShown(m_hWnd)) {
    RECT client;
    GetClientRect(&client);
    if (message == WM_PRINTCLIENT) {
      DrawFocusCue(reinterpret_cast<HDC>(wParam), client, 0);
    } else {
      ScopedGetDC dc(m_hWnd);
      DrawFocusCue(dc, client, 0);
    }
  }
  return result;
}

void HyperLinkStatic::SetTextFont(HFONT font) {
  UnderlineFont(font);
  if (tooltip.m_hWnd) {
    RECT rect;
    GetClientRect(&rect);
    tooltip.SetToolRect(this, kToolId, rect);
  }
}

void HyperLinkStatic::UnderlineFont(HFONT base) {
  // A control without a font of its own shows the system's GUI font; that one is underlined.
  LOGFONTW font{};
  if (!base || !::GetObjectW(base, sizeof(font), &font)) {
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(font), &font);
  }
  font.lfUnderline = TRUE;
  ScopedFont underlined(::CreateFontIndirectW(&font));
  if (underlined.valid()) {
    SetFont(underlined.get(), TRUE);
    linkFont = std::move(underlined);  // the old one goes only once the control has let go
  }
  FitToText();
}

void HyperLinkStatic::FitToText() {
  if (!m_hWnd) return;
  RECT rect;
  GetWindowRect(&rect);
  ::MapWindowPoints(nullptr, GetParent(), reinterpret_cast<POINT*>(&rect), 2);

  const std::wstring text = platform::Utf8ToWide(GetWindowText());
  SIZE extent{};
  {
    ScopedGetDC dc(m_hWnd);
    ScopedSelectObject select(dc, linkFont.get());
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  }

  DWORD style = GetStyle();
  if (style & SS_CENTERIMAGE) {
    int shrink = (rect.bottom - rect.top - extent.cy) / 2;
    rect.top += shrink;
    rect.bottom -= shrink;
  } else {
    rect.bottom = rect.top + extent.cy;
  }
  if (style & SS_CENTER) {
    int shrink = (rect.right - rect.left - extent.cx) / 2;
    rect.left += shrink;
    rect.right -= shrink;
  } else if (style & SS_RIGHT) {
    rect.left = rect.right - extent.cx;
  } else {
    rect.right = rect.left + extent.cx;
  }
  SetWindowPos(nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
               SWP_NOZORDER);
}

void HyperLinkStatic::LoadHandCursor() {
  if (linkCursor.valid()) return;
  // The system's own hand: no module is loaded just to borrow a cursor. A private copy, so
  // that the owner frees what it holds.
  HCURSOR cursor = ::LoadCursorW(nullptr, IDC_HAND);
  if (cursor) linkCursor.reset(static_cast<HCURSOR>(::CopyIcon(cursor)));
}

BOOL HyperLinkStatic::OnSetCursor(HWND, UINT, UINT) {
  if (!linkCursor.valid()) return FALSE;
  ::SetCursor(linkCursor.get());
  return TRUE;
}

void HyperLinkStatic::OnMouseMove(UINT flags, POINT point) {
  CStatic::OnMouseMove(flags, point);
  if (!pointerInside) {
    pointerInside = TRUE;
    RedrawWindow(nullptr, nullptr, kRedrawNow);
    ::SetCapture(m_hWnd);
    return;
  }
  RECT client;
  GetClientRect(&client);
  if (!::PtInRect(&client, point)) {
    pointerInside = FALSE;
    ::ReleaseCapture();
    RedrawWindow(nullptr, nullptr, kRedrawNow);
  }
}

BOOL HyperLinkStatic::OnReflectedCommand(UINT notifyCode) {
  if (notifyCode != STN_CLICKED) return FALSE;
  OnLinkClicked();
  return TRUE;
}

void HyperLinkStatic::OnLinkClicked() {
  int result = OpenLink(url.c_str(), SW_SHOW);
  if (result <= 32) {
    ::MessageBeep(MB_ICONEXCLAMATION);
    ShowOpenError(result);
  } else if (m_hWnd) {
    Invalidate(TRUE);
  }
}

int HyperLinkStatic::OpenLink(const char* target, int showCommand) {
  // The browser runs as the signed-in user, not with the installer's rights.
  int result = 0;
  {
    ScopedCom com;
    OpenAsUser(target, nullptr, nullptr, showCommand, &result);
  }
  // Every other failure is the answer; only this one is worth the ".htm" association.
  if (result != kShellFallbackCode) return result;

  std::string fileType;
  if (ReadMachineClassDefault(".htm", &fileType) != ERROR_SUCCESS) return result;
  std::string command;
  if (ReadMachineClassDefault(fileType + "\\shell\\open\\command", &command) != ERROR_SUCCESS) {
    return result;
  }
  std::string commandLine;
  if (!BuildHtmFallbackCommand(command, target, &commandLine)) return result;
  return StartCommandLine(commandLine, showCommand);
}

std::string HyperLinkStatic::OpenErrorText(int code) {
  const char* reason = nullptr;
  switch (code) {
    case 0: reason = "The operating system is out\nof memory or resources."; break;
    case SE_ERR_FNF: reason = "The specified file was not found."; break;
    case SE_ERR_PNF: reason = "The specified path was not found."; break;
    case SE_ERR_ACCESSDENIED:
      reason = "The operating system denied\naccess to the specified file.";
      break;
    case SE_ERR_OOM: reason = "There was not enough memory to complete the operation."; break;
    case ERROR_BAD_FORMAT:
      reason = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
      break;
    case SE_ERR_SHARE: reason = "A sharing violation occurred. "; break;
    case SE_ERR_ASSOCINCOMPLETE:
      reason = "The filename association is\nincomplete or invalid.";
      break;
    case SE_ERR_DDETIMEOUT:
      reason = "The DDE transaction could not\nbe completed because the request timed out.";
      break;
    case SE_ERR_DDEFAIL: reason = "The DDE transaction failed."; break;
    case SE_ERR_DDEBUSY:
      reason =
          "The DDE transaction could not\nbe completed because other DDE transactions\n"
          "were being processed.";
      break;
    case SE_ERR_NOASSOC:
      reason = "There is no application associated\nwith the given filename extension.";
      break;
    case SE_ERR_DLLNOTFOUND: reason = "The specified dynamic-link library was not found."; break;
    default: break;
  }
  std::string text = "Unable to open hyperlink:\n\n";
  if (reason) return text + reason;
  char unknown[64];
  std::snprintf(unknown, sizeof(unknown), "Unknown Error (%d) occurred.", code);
  return text + unknown;
}

void HyperLinkStatic::ShowOpenError(int code) {
  AfxMessageBox(OpenErrorText(code).c_str(), MB_OK | MB_ICONEXCLAMATION);
}

// probe.exe: the GUI tests' hands and eyes inside the Wine prefix. It finds windows, reads
// control texts, positions, styles and enabled state, presses buttons, answers message boxes,
// edits the registry, and can stand in for a launcher or lobby window that logs the messages
// posted to it.
//
// One command per run (`probe.exe find "#32770" "title"`) or, with `probe.exe serve`, one
// command per line on standard input, fields separated by tabs; each answer is one line on
// standard output. Texts are UTF-8 both ways, whatever the system code page (the probe reads
// and writes the windows' UTF-16 texts). See tests/gui/README.md.

#include <windows.h>
#include <oleacc.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/text_win32.h"

namespace {

using platform::Utf8ToWide;
using platform::WideToUtf8;

using Args = std::vector<std::string>;

HWND ParseWindow(const std::string& text) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(text.c_str(), nullptr, 0)));
}

long ParseNumber(const std::string& text) { return std::strtol(text.c_str(), nullptr, 0); }

std::string Hex(const void* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string Unhex(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out += static_cast<char>(std::strtol(text.substr(i, 2).c_str(), nullptr, 16));
  }
  return out;
}

std::string WindowHandle(HWND window) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
  return buffer;
}

std::string ClassOf(HWND window) {
  wchar_t name[256] = {};
  ::GetClassNameW(window, name, 256);
  return WideToUtf8(name);
}

// A window's text, asked of the window itself (WM_GETTEXT is marshalled between processes).
std::string TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return "";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 2000, &copied);
  text.resize(copied);
  return WideToUtf8(text);
}

// Replaces tabs and line breaks so that an answer stays one line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\t') c = ' ';
    if (c == '\n') c = '|';
    if (c == '\r') c = ' ';
  }
  return text;
}

// What the system's accessibility reports for a window, as screen readers ask for it: its
// client object's name and value ("" when it has none).
std::string Accessible(HWND window) {
  // __uuidof: the toolchain's IID_IAccessible symbol does not hold that interface's id.
  IAccessible* object = nullptr;
  const HRESULT found = ::AccessibleObjectFromWindow(
      window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
      reinterpret_cast<void**>(&object));
  if (FAILED(found) || !object) {
    char code[32];
    std::snprintf(code, sizeof code, "error 0x%08lx", static_cast<unsigned long>(found));
    return code;
  }
  VARIANT self;
  ::VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  std::string answer;
  for (bool value : {false, true}) {
    BSTR text = nullptr;
    const HRESULT result = value ? object->get_accValue(self, &text) : object->get_accName(self, &text);
    answer += std::string(value ? "\tvalue=" : "name=") +
              OneLine(SUCCEEDED(result) && text ? WideToUtf8(text) : "");
    ::SysFreeString(text);
  }
  object->Release();
  return answer;
}

struct FindRequest {
  std::string className;  // "*" for any
  std::string title;      // "*" for any
  bool visibleOnly;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* request = reinterpret_cast<FindRequest*>(param);
  if (request->visibleOnly && !::IsWindowVisible(window)) return TRUE;
  if (request->className != "*" && ClassOf(window) != request->className) return TRUE;
  if (request->title != "*") {
    wchar_t title[512] = {};
    ::GetWindowTextW(window, title, 512);
    if (request->title != WideToUtf8(title)) return TRUE;
  }
  request->found.push_back(window);
  return TRUE;
}

std::vector<HWND> FindTopLevel(const std::string& className, const std::string& title,
                               bool visibleOnly) {
  FindRequest request{className, title, visibleOnly, {}};
  ::EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&request));
  return request.found;
}

// Polls every 50 ms until a visible top-level window of that class and title exists.
HWND WaitTopLevel(const std::string& className, const std::string& title, long timeoutMs) {
  DWORD start = ::GetTickCount();
  for (;;) {
    std::vector<HWND> found = FindTopLevel(className, title, true);
    if (!found.empty()) return found.front();
    if (static_cast<long>(::GetTickCount() - start) >= timeoutMs) return nullptr;
    ::Sleep(50);
  }
}

// "ID" of a control in a dialog, or "-" for the window itself.
HWND Control(HWND dialog, const std::string& id) {
  if (id == "-") return dialog;
  return ::GetDlgItem(dialog, static_cast<int>(ParseNumber(id)));
}

std::string Describe(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  wchar_t wideTitle[512] = {};
  ::GetWindowTextW(window, wideTitle, 512);
  const std::string title = WideToUtf8(wideTitle);
  char line[2048];
  std::snprintf(line, sizeof(line),
                "%s\tclass=%s\ttitle=%s\tvisible=%d\tenabled=%d\trect=%ld,%ld,%ld,%ld\tpid=%lu\t"
                "owner=%s",
                WindowHandle(window).c_str(), ClassOf(window).c_str(), OneLine(title).c_str(),
                ::IsWindowVisible(window) ? 1 : 0, ::IsWindowEnabled(window) ? 1 : 0, rect.left,
                rect.top, rect.right, rect.bottom, static_cast<unsigned long>(pid),
                WindowHandle(::GetWindow(window, GW_OWNER)).c_str());
  return line;
}

// The buttons of a message box (its controls of class Button), as their ids.
std::string ButtonIds(HWND box) {
  std::string ids;
  for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (lstrcmpiW(Utf8ToWide(ClassOf(child)).c_str(), L"Button") != 0) continue;
    if (!ids.empty()) ids += ',';
    ids += std::to_string(::GetDlgCtrlID(child));
  }
  return ids;
}

// Compares the icon shown by `control` on screen with a system icon: the share of the icon's
// opaque pixels that differ clearly from what the screen shows, in per mille.
long IconMismatchPerMille(HWND control, LPCWSTR systemIcon) {
  HICON icon = ::LoadIconW(nullptr, systemIcon);
  if (!icon) return -1;
  RECT rect{};
  ::GetWindowRect(control, &rect);
  const int size = ::GetSystemMetrics(SM_CXICON);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  std::vector<std::vector<DWORD>> pictures;
  // 0: the screen; 1 and 2: the icon over black and over white (equal pixels are opaque).
  for (int pass = 0; pass < 3; ++pass) {
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    if (pass == 0) {
      ::BitBlt(memory, 0, 0, size, size, screen, rect.left, rect.top, SRCCOPY);
    } else {
      RECT all{0, 0, size, size};
      ::FillRect(memory, &all,
                 static_cast<HBRUSH>(::GetStockObject(pass == 1 ? BLACK_BRUSH : WHITE_BRUSH)));
      ::DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    }
    ::GdiFlush();
    const auto* pixels = static_cast<const DWORD*>(bits);
    pictures.emplace_back(pixels, pixels + size * size);
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
  }
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  long opaque = 0;
  long differing = 0;
  for (int i = 0; i < size * size; ++i) {
    if (pictures[1][i] != pictures[2][i]) continue;
    ++opaque;
    DWORD want = pictures[1][i];
    DWORD got = pictures[0][i];
    for (int shift = 0; shift < 24; shift += 8) {
      int a = static_cast<int>((want >> shift) & 0xFF);
      int b = static_cast<int>((got >> shift) & 0xFF);
      if (std::abs(a - b) > 48) {
        ++differing;
        break;
      }
    }
  }
  return opaque ? differing * 1000 / opaque : -1;
}

// --- the stand-in window -----------------------------------------------------------------

bool hostIgnoresClose = false;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE && hostIgnoresClose) return 0;
  if (message == WM_DESTROY) ::PostQuitMessage(0);
  return ::DefWindowProcW(window, message, wParam, lParam);
}

// A hidden top-level window of class `className` that logs every message posted to it
// ("posted 0x0010 0 0") until it receives WM_CLOSE (unless told to ignore it) or `seconds`
// pass. FindWindow finds hidden windows too.
int RunHost(const std::string& className, bool ignoreClose, long seconds) {
  hostIgnoresClose = ignoreClose;
  const std::wstring wideClass = Utf8ToWide(className);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &HostWindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = wideClass.c_str();
  if (!::RegisterClassExW(&windowClass)) {
    std::printf("error register %lu\n", ::GetLastError());
    return 1;
  }
  HWND window = ::CreateWindowExW(0, wideClass.c_str(), L"probe host", WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window) {
    std::printf("error create %lu\n", ::GetLastError());
    return 1;
  }
  ::SetTimer(window, 1, static_cast<UINT>(seconds * 1000), nullptr);
  std::printf("ready %s\n", WindowHandle(window).c_str());
  std::fflush(stdout);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == window) {
      std::printf("timeout\n");
      std::fflush(stdout);
      ::DestroyWindow(window);
      continue;
    }
    if (msg.hwnd == window && msg.message != WM_TIMER && msg.message != WM_PAINT) {
      std::printf("posted 0x%04x %llu %lld\n", msg.message,
                  static_cast<unsigned long long>(msg.wParam), static_cast<long long>(msg.lParam));
      std::fflush(stdout);
    }
    ::DispatchMessageW(&msg);
  }
  std::printf("exit\n");
  std::fflush(stdout);
  return 0;
}

// --- registry ----------------------------------------------------------------------------

// Bytes as they are, through the A function: a string type is taken in the system code page,
// as a program of narrow strings stores it.
std::string RegSetRaw(const std::string& key, const std::string& value, DWORD type,
                      const std::string& data) {
  HKEY handle = nullptr;
  LONG result = ::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &handle, nullptr);
  if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
  // RegSetValueExA counts a string's NUL itself when the byte after the data is one; a
  // non-zero byte there keeps strings without a final NUL as they are.
  std::string buffer = data + "X";
  result = ::RegSetValueExA(handle, value.c_str(), 0, type,
                            reinterpret_cast<const BYTE*>(buffer.data()),
                            static_cast<DWORD>(data.size()));
  ::RegCloseKey(handle);
  return result == ERROR_SUCCESS ? "ok" : "error " + std::to_string(result);
}

// A text value as the system holds it (UTF-16, with its final NUL).
std::string RegSetText(const std::string& key, const std::string& value, const std::string& text) {
  HKEY handle = nullptr;
  LONG result = ::RegCreateKeyExW(HKEY_CURRENT_USER, Utf8ToWide(key).c_str(), 0, nullptr, 0,
                                  KEY_WRITE, nullptr, &handle, nullptr);
  if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
  const std::wstring wide = Utf8ToWide(text);
  result = ::RegSetValueExW(handle, Utf8ToWide(value).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wide.c_str()),
                            static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(handle);
  return result == ERROR_SUCCESS ? "ok" : "error " + std::to_string(result);
}

// The value's type and bytes; a text's UTF-16 comes back as UTF-8 (its NULs kept).
std::string RegQuery(const std::string& key, const std::string& value) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, Utf8ToWide(key).c_str(), 0, KEY_READ, &handle) !=
      ERROR_SUCCESS) {
    return "nokey";
  }
  const std::wstring name = Utf8ToWide(value);
  DWORD type = 0;
  DWORD size = 0;
  LONG result = ::RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size);
  std::string data(size, '\0');
  if (result == ERROR_SUCCESS && size > 0) {
    result = ::RegQueryValueExW(handle, name.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(&data[0]), &size);
  }
  ::RegCloseKey(handle);
  if (result == ERROR_FILE_NOT_FOUND) return "missing";
  if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
  data.resize(size);
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::string text;
    const auto* units = reinterpret_cast<const wchar_t*>(data.data());
    const size_t count = data.size() / sizeof(wchar_t);
    for (size_t start = 0; start <= count; ++start) {  // piece by piece: NULs stay
      size_t end = start;
      while (end < count && units[end] != L'\0') ++end;
      text += WideToUtf8(std::wstring(units + start, end - start));
      if (end < count) text += '\0';
      start = end;
    }
    data = text;
    size = static_cast<DWORD>(data.size());
  }
  return "type=" + std::to_string(type) + "\tbytes=" + std::to_string(size) +
         "\thex=" + Hex(data.data(), data.size());
}

// --- processes ---------------------------------------------------------------------------

// Counts (and with `kill` terminates) the processes whose executable is `name`.
int ForEachProcess(const std::string& name, bool kill) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = ::Process32First(snapshot, &entry); more;
       more = ::Process32Next(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, Utf8ToWide(name).c_str()) != 0) continue;
    ++count;
    if (!kill) continue;
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process) {
      ::TerminateProcess(process, 1);
      ::WaitForSingleObject(process, 5000);
      ::CloseHandle(process);
    }
  }
  ::CloseHandle(snapshot);
  return count;
}

// --- commands ----------------------------------------------------------------------------

std::string Usage() {
  return "error usage: find|wait|gone|windows|describe|text|rect|enabled|style|click|post|send|"
         "msgbox|icon|accessible|reg-set-sz|reg-set-dword|reg-set-raw|reg-query|reg-delete|"
         "processes|kill|sleep|host";
}

std::string Run(const Args& a) {
  if (a.empty()) return Usage();
  const std::string& command = a[0];
  auto need = [&](size_t count) { return a.size() >= count + 1; };

  if (command == "find" && need(2)) {  // find CLASS TITLE -> first visible match or none
    std::vector<HWND> found = FindTopLevel(a[1], a[2], true);
    return found.empty() ? "none" : Describe(found.front());
  }
  if (command == "wait" && need(3)) {  // wait CLASS TITLE TIMEOUT_MS
    HWND window = WaitTopLevel(a[1], a[2], ParseNumber(a[3]));
    return window ? Describe(window) : "none";
  }
  if (command == "gone" && need(3)) {  // gone CLASS TITLE TIMEOUT_MS: until no such window
    DWORD start = ::GetTickCount();
    while (!FindTopLevel(a[1], a[2], false).empty()) {
      if (static_cast<long>(::GetTickCount() - start) >= ParseNumber(a[3])) return "present";
      ::Sleep(50);
    }
    return "gone";
  }
  if (command == "windows") {  // every top-level window, visible or not, one per line
    std::string out;
    for (HWND window : FindTopLevel("*", "*", false)) {
      if (!out.empty()) out += "\n";
      out += Describe(window);
    }
    return out + "\nend";
  }
  if (command == "describe" && need(2)) {  // describe HWND ID|-
    HWND control = Control(ParseWindow(a[1]), a[2]);
    return control ? Describe(control) : "none";
  }
  if (command == "text" && need(2)) {  // text HWND ID|-
    HWND control = Control(ParseWindow(a[1]), a[2]);
    return control ? "text=" + OneLine(TextOf(control)) : "none";
  }
  if (command == "accessible" && need(2)) {  // accessible HWND ID|- -> name and value
    HWND control = Control(ParseWindow(a[1]), a[2]);
    return control ? Accessible(control) : "none";
  }
  if (command == "rect" && need(2)) {  // rect HWND ID|- -> screen rect and parent-client rect
    HWND control = Control(ParseWindow(a[1]), a[2]);
    if (!control) return "none";
    RECT screen{};
    ::GetWindowRect(control, &screen);
    RECT client = screen;
    HWND parent = ::GetParent(control);
    if (parent && (::GetWindowLongW(control, GWL_STYLE) & WS_CHILD)) {
      ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&client), 2);
    }
    char line[200];
    std::snprintf(line, sizeof(line), "screen=%ld,%ld,%ld,%ld\tclient=%ld,%ld,%ld,%ld",
                  screen.left, screen.top, screen.right, screen.bottom, client.left, client.top,
                  client.right, client.bottom);
    return line;
  }
  if (command == "focus" && need(1)) {  // focus HWND -> the window's thread: active and focus
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(ParseWindow(a[1]), nullptr), &info)) {
      return "error";
    }
    return "active=" + WindowHandle(info.hwndActive) + "\tfocus=" + WindowHandle(info.hwndFocus);
  }
  if (command == "enabled" && need(2)) {
    HWND control = Control(ParseWindow(a[1]), a[2]);
    return control ? (::IsWindowEnabled(control) ? "1" : "0") : "none";
  }
  if (command == "style" && need(2)) {  // style HWND ID|- -> style and extended style, hex
    HWND control = Control(ParseWindow(a[1]), a[2]);
    if (!control) return "none";
    char line[100];
    std::snprintf(line, sizeof(line), "style=0x%08lx\texstyle=0x%08lx",
                  static_cast<unsigned long>(::GetWindowLongW(control, GWL_STYLE)),
                  static_cast<unsigned long>(::GetWindowLongW(control, GWL_EXSTYLE)));
    return line;
  }
  if (command == "click" && need(2)) {  // click HWND ID: BM_CLICK, posted (the click may block)
    HWND control = Control(ParseWindow(a[1]), a[2]);
    if (!control) return "none";
    return ::PostMessageW(control, BM_CLICK, 0, 0) ? "ok" : "error";
  }
  if ((command == "post" || command == "send") && need(4)) {  // post HWND MSG WPARAM LPARAM
    HWND window = ParseWindow(a[1]);
    UINT message = static_cast<UINT>(ParseNumber(a[2]));
    WPARAM wParam = static_cast<WPARAM>(ParseNumber(a[3]));
    LPARAM lParam = static_cast<LPARAM>(ParseNumber(a[4]));
    if (command == "post") return ::PostMessageW(window, message, wParam, lParam) ? "ok" : "error";
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) {
      return "error";
    }
    return "result=" + std::to_string(static_cast<long long>(result));
  }
  if (command == "msgbox" && need(2)) {  // msgbox TITLE TIMEOUT_MS -> text and button ids
    HWND box = WaitTopLevel("#32770", a[1], ParseNumber(a[2]));
    if (!box) return "none";
    return WindowHandle(box) + "\ttext=" + OneLine(TextOf(::GetDlgItem(box, 0xFFFF))) +
           "\tbuttons=" + ButtonIds(box);
  }
  if (command == "icon" && need(3)) {  // icon HWND ID exclamation|question|... -> per mille
    HWND control = Control(ParseWindow(a[1]), a[2]);
    if (!control) return "none";
    LPCWSTR icon = a[3] == "exclamation" ? IDI_EXCLAMATION
                  : a[3] == "question"  ? IDI_QUESTION
                  : a[3] == "hand"      ? IDI_HAND
                                        : IDI_ASTERISK;
    return "mismatch=" + std::to_string(IconMismatchPerMille(control, icon));
  }
  if (command == "reg-set-sz" && need(3)) {  // reg-set-sz KEY VALUE TEXT (NUL added)
    return RegSetText(a[1], a[2], a[3]);
  }
  if (command == "reg-set-dword" && need(3)) {
    DWORD number = static_cast<DWORD>(ParseNumber(a[3]));
    return RegSetRaw(a[1], a[2], REG_DWORD, std::string(reinterpret_cast<char*>(&number), 4));
  }
  if (command == "reg-set-raw" && need(4)) {  // reg-set-raw KEY VALUE TYPE HEX
    return RegSetRaw(a[1], a[2], static_cast<DWORD>(ParseNumber(a[3])), Unhex(a[4]));
  }
  if (command == "reg-query" && need(2)) return RegQuery(a[1], a[2]);
  if (command == "reg-delete" && need(1)) {  // reg-delete KEY: the key and everything below
    const std::wstring key = Utf8ToWide(a[1]);
    LONG result = ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (result == ERROR_SUCCESS) result = ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND
               ? "ok"
               : "error " + std::to_string(result);
  }
  if (command == "processes" && need(1)) return "count=" + std::to_string(ForEachProcess(a[1], false));
  if (command == "kill" && need(1)) return "killed=" + std::to_string(ForEachProcess(a[1], true));
  if (command == "sleep" && need(1)) {
    ::Sleep(static_cast<DWORD>(ParseNumber(a[1])));
    return "ok";
  }
  return Usage();
}

Args SplitTabs(const std::string& line) {
  Args fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = platform::Arguments(argc, argv);  // UTF-8, whatever the code page
  ::CoInitialize(nullptr);  // for the accessibility objects
  if (!args.empty() && args[0] == "host" && args.size() >= 2) {
    bool ignoreClose = args.size() >= 3 && args[2] == "ignore-close";
    long seconds = args.size() >= 4 ? ParseNumber(args[3]) : 60;
    return RunHost(args[1], ignoreClose, seconds);
  }
  if (!args.empty() && args[0] == "serve") {
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[8192];
    while (std::fgets(buffer, sizeof(buffer), stdin)) {
      std::string line(buffer);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (line == "quit") break;
      std::printf("%s\n", Run(SplitTabs(line)).c_str());
      std::fflush(stdout);
    }
    return 0;
  }
  std::string answer = Run(args);
  std::printf("%s\n", answer.c_str());
  return answer.compare(0, 5, "error") == 0 || answer == "none" ? 1 : 0;
}

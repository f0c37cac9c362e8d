// The hyperlink static under Wine: text, tooltip, font and fitting, cursor and capture, the
// failure messages, and the ".htm" fallback command.
#include "skin/hyperlink_static.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/text_win32.h"
#include "tests/skin/gui_support.h"
#include "tests/skin/res/skin_test_ids.h"

namespace skintest {
namespace {

const char kManualText[] = "手动下载完整安装包";
const char kUrl[] = "http://127.0.0.1/qipai/VantreoSetup.exe";

class LinkDialog : public CDialog {
 public:
  // The empty static gets its target before it is attached: that is what it then shows.
  LinkDialog() : CDialog(IDD_LINK_TEST) { empty.SetLink(kUrl); }
  HyperLinkStatic left, empty, center, right, centerImage, noAssoc;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, IDC_LINK_LEFT, left);
    DDX_Control(dx, IDC_LINK_EMPTY, empty);
    DDX_Control(dx, IDC_LINK_CENTER, center);
    DDX_Control(dx, IDC_LINK_RIGHT, right);
    DDX_Control(dx, IDC_LINK_CENTERIMAGE, centerImage);
    DDX_Control(dx, IDC_LINK_NOASSOC, noAssoc);
  }
};

RECT ChildRect(HWND child) {
  RECT rect{};
  ::GetWindowRect(child, &rect);
  ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The template rectangle of a control, in pixels.
RECT TemplateRect(HWND dialog, int left, int top, int width, int height) {
  RECT rect{left, top, left + width, top + height};
  ::MapDialogRect(dialog, &rect);
  return rect;
}

SIZE TextExtent(HyperLinkStatic& link) {
  const std::wstring text = platform::Utf8ToWide(link.GetWindowText());
  SIZE extent{};
  ScopedGetDC dc(link);
  ScopedSelectObject select(dc, link.LinkFont());
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  return extent;
}

std::string ToolText(HyperLinkStatic& link) {
  return link.Tooltip().GetText(&link, 1);
}

class HyperLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dialog.Create());
    dialog.ShowWindow(SW_SHOW);
    ::SetForegroundWindow(dialog);
    Pump(100);
  }
  void TearDown() override {
    MoveMouse(5, 5);
    Pump(50);
    dialog.DestroyWindow();
  }
  LinkDialog dialog;
};

TEST_F(HyperLinkTest, KeepsItsTextUnderlinesItAndShowsTheTargetAsTooltip) {
  dialog.left.SetLink(kUrl);
  EXPECT_EQ(dialog.left.GetWindowText(), kManualText);
  EXPECT_EQ(dialog.left.Link(), kUrl);
  EXPECT_EQ(ToolText(dialog.left), kUrl);
  EXPECT_TRUE(dialog.left.GetStyle() & SS_NOTIFY);
  LOGFONTA font{};
  ASSERT_TRUE(::GetObjectA(dialog.left.LinkFont(), sizeof(font), &font));
  EXPECT_TRUE(font.lfUnderline);
  EXPECT_EQ(dialog.left.GetFont(), dialog.left.LinkFont());
  // Before SetLink the target was the text itself.
  EXPECT_EQ(ToolText(dialog.center), kManualText);
}

TEST_F(HyperLinkTest, EmptyStaticShowsItsTarget) {
  EXPECT_EQ(dialog.empty.GetWindowText(), kUrl);
  EXPECT_EQ(dialog.empty.Link(), kUrl);
  EXPECT_EQ(ToolText(dialog.empty), kUrl);
}

TEST_F(HyperLinkTest, FitsLeftCentredAndRightAlignedTextFromTheRightEdge) {
  SIZE extent = TextExtent(dialog.left);
  ASSERT_GT(extent.cx, 0);

  RECT original = TemplateRect(dialog, 10, 10, 150, 12);
  RECT rect = ChildRect(dialog.left);
  EXPECT_EQ(rect.left, original.left);
  EXPECT_EQ(rect.top, original.top);
  EXPECT_EQ(rect.right - rect.left, extent.cx);
  EXPECT_EQ(rect.bottom - rect.top, extent.cy);

  original = TemplateRect(dialog, 10, 46, 150, 12);
  rect = ChildRect(dialog.center);
  EXPECT_NEAR((rect.left + rect.right) / 2.0, (original.left + original.right) / 2.0, 1.0);
  EXPECT_NEAR(rect.right - rect.left, extent.cx, 1);
  EXPECT_EQ(rect.top, original.top);
  EXPECT_EQ(rect.bottom - rect.top, extent.cy);

  original = TemplateRect(dialog, 10, 64, 150, 12);
  rect = ChildRect(dialog.right);
  EXPECT_EQ(rect.right, original.right);
  EXPECT_EQ(rect.left, original.right - extent.cx);

  // SS_CENTERIMAGE keeps the text's band in the middle of the control's height.
  original = TemplateRect(dialog, 10, 82, 150, 20);
  rect = ChildRect(dialog.centerImage);
  int shrink = (original.bottom - original.top - extent.cy) / 2;
  EXPECT_EQ(rect.top, original.top + shrink);
  EXPECT_EQ(rect.bottom, original.bottom - shrink);
  EXPECT_EQ(rect.left, original.left);
}

TEST_F(HyperLinkTest, FailureTextsByCode) {
  const std::string head = "Unable to open hyperlink:\n\n";
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(31),
            head + "There is no application associated\nwith the given filename extension.");
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(7), head + "Unknown Error (7) occurred.");
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(26), head + "A sharing violation occurred. ");
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(32),
            head + "The specified dynamic-link library was not found.");
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(0),
            head + "The operating system is out\nof memory or resources.");
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(11),
            head + "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
  EXPECT_EQ(HyperLinkStatic::OpenErrorText(-3), head + "Unknown Error (-3) occurred.");
}

TEST_F(HyperLinkTest, MessageBoxShowsTheTextOfTheCode) {
  MessageBoxWatcher watcher;
  HyperLinkStatic::ShowOpenError(7);
  HyperLinkStatic::ShowOpenError(26);
  std::vector<std::string> texts = watcher.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], HyperLinkStatic::OpenErrorText(7));
  EXPECT_EQ(texts[1], HyperLinkStatic::OpenErrorText(26));
}

// The link opens through the signed-in user's shell, which reports its own failures: a file
// without association gives no box of ours (ShowOpenError is tested above).
TEST_F(HyperLinkTest, ClickWhileCapturedOpensThroughTheUsersShell) {
  char folder[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathA(MAX_PATH, folder), 0u);
  std::string file = std::string(folder) + "vantreo-link-test.vtnoassoc";
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("no program opens this\n", out);
  std::fclose(out);
  EXPECT_GT(HyperLinkStatic::OpenLink(file.c_str(), SW_SHOW), 32);
  dialog.noAssoc.SetLink(file);

  // Onto the link: the mouse is captured. Off again: released.
  RECT rect;
  dialog.noAssoc.GetWindowRect(&rect);
  MoveMouse(rect.left + 3, (rect.top + rect.bottom) / 2);
  ASSERT_TRUE(PumpUntil([&] { return ::GetCapture() == dialog.noAssoc.m_hWnd; }, 2000));
  EXPECT_TRUE(dialog.noAssoc.IsPointerInside());
  MoveMouse(rect.right + 120, rect.bottom + 60);
  ASSERT_TRUE(PumpUntil([&] { return ::GetCapture() == nullptr; }, 2000));
  EXPECT_FALSE(dialog.noAssoc.IsPointerInside());

  // Back on it and click while it holds the capture.
  MoveMouse(rect.left + 3, (rect.top + rect.bottom) / 2);
  ASSERT_TRUE(PumpUntil([&] { return ::GetCapture() == dialog.noAssoc.m_hWnd; }, 2000));
  MessageBoxWatcher watcher;
  PressLeft();
  ReleaseLeft();
  Pump(1500);
  EXPECT_EQ(watcher.Texts(), std::vector<std::string>());
  ::DeleteFileA(file.c_str());
}

TEST_F(HyperLinkTest, HandCursorIsTheSystemsHand) {
  // No module is loaded for it: the system's IDC_HAND, a private copy.
  EXPECT_NE(dialog.left.LinkCursor(), nullptr);
  LRESULT handled = ::SendMessageW(dialog.left, WM_SETCURSOR,
                                   reinterpret_cast<WPARAM>(dialog.left.m_hWnd),
                                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_NE(handled, 0);
  EXPECT_EQ(::GetCursor(), dialog.left.LinkCursor());
}

TEST(HtmFallbackCommand, CutsAtTheQuotedOrPlainPlaceholderAndAppendsBlankAndUrl) {
  std::string command;
  ASSERT_TRUE(BuildHtmFallbackCommand("C:\\Browser\\browser.exe", kUrl, &command));
  EXPECT_EQ(command, std::string("C:\\Browser\\browser.exe ") + kUrl);

  // Quoted placeholder after a blank: cut at the quote, the blank stays, so two blanks.
  ASSERT_TRUE(BuildHtmFallbackCommand("\"C:\\Program Files\\Web\\web.exe\" \"%1\" -nohome", kUrl,
                                      &command));
  EXPECT_EQ(command, std::string("\"C:\\Program Files\\Web\\web.exe\"  ") + kUrl);

  ASSERT_TRUE(BuildHtmFallbackCommand("web.exe %1 -new-tab", kUrl, &command));
  EXPECT_EQ(command, std::string("web.exe  ") + kUrl);

  ASSERT_TRUE(BuildHtmFallbackCommand("\"C:\\浏览器\\web.exe\" \"%1\"", kUrl, &command));
  EXPECT_EQ(command, std::string("\"C:\\浏览器\\web.exe\"  ") + kUrl);

  // The quoted form is looked for first, even when a plain one comes earlier.
  ASSERT_TRUE(BuildHtmFallbackCommand("web.exe -p%1x \"%1\"", kUrl, &command));
  EXPECT_EQ(command, std::string("web.exe -p%1x  ") + kUrl);
}

TEST(HtmFallbackCommand, IsBoundedByItsBuffer) {
  std::string command = "unchanged";
  std::string longCommand(300, 'c');
  std::string longUrl = "http://127.0.0.1/" + std::string(300, 'u');
  EXPECT_FALSE(BuildHtmFallbackCommand(longCommand + " \"%1\"", longUrl, &command));
  EXPECT_EQ(command, "unchanged");
  // 519 characters fit the 520-byte buffer with its terminating zero; 520 do not.
  std::string exact = std::string(519 - 6, 'u');
  EXPECT_TRUE(BuildHtmFallbackCommand("w.exe", exact, &command));
  EXPECT_EQ(command.size(), 519u);
  EXPECT_FALSE(BuildHtmFallbackCommand("w.exe", exact + "u", &command));
}

// Writes the default value of `root`\Software\Classes\`key` (the test's own Wine prefix).
void WriteClassDefault(HKEY root, const std::string& key, const std::string& value) {
  HKEY created = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(root, ("Software\\Classes\\" + key).c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &created, nullptr),
            ERROR_SUCCESS);
  ScopedRegKey owner(created);
  ASSERT_EQ(::RegSetValueExA(created, nullptr, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
}

void DeleteClass(HKEY root, const std::string& type, const std::string& extension) {
  for (const char* sub : {"\\shell\\open\\command", "\\shell\\open", "\\shell", ""})
    ::RegDeleteKeyA(root, ("Software\\Classes\\" + type + sub).c_str());
  ::RegDeleteKeyA(root, ("Software\\Classes\\" + extension).c_str());
}

TEST(HtmFallbackCommand, ReadsTheMachinesAssociationAndNeverTheUsers) {
  // An association of our own, shaped like a browser's, for the machine.
  std::string fileType;
  WriteClassDefault(HKEY_LOCAL_MACHINE, ".vantreotest", "VantreoTest.Page");
  WriteClassDefault(HKEY_LOCAL_MACHINE, "VantreoTest.Page\\shell\\open\\command",
                    "\"C:\\Web\\web.exe\" -osint -url \"%1\"");
  ASSERT_EQ(ReadMachineClassDefault(".vantreotest", &fileType), ERROR_SUCCESS);
  EXPECT_EQ(fileType, "VantreoTest.Page");
  std::string command;
  ASSERT_EQ(ReadMachineClassDefault(fileType + "\\shell\\open\\command", &command),
            ERROR_SUCCESS);
  std::string line;
  ASSERT_TRUE(BuildHtmFallbackCommand(command, kUrl, &line));
  EXPECT_EQ(line, std::string("\"C:\\Web\\web.exe\" -osint -url  ") + kUrl);
  DeleteClass(HKEY_LOCAL_MACHINE, "VantreoTest.Page", ".vantreotest");

  // One the user wrote (Windows merges it into HKEY_CLASSES_ROOT): not taken.
  WriteClassDefault(HKEY_CURRENT_USER, ".vantreouser", "VantreoUser.Page");
  std::string userType = "untouched";
  EXPECT_EQ(ReadMachineClassDefault(".vantreouser", &userType), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(userType, "untouched");
  DeleteClass(HKEY_CURRENT_USER, "VantreoUser.Page", ".vantreouser");
}

}  // namespace
}  // namespace skintest

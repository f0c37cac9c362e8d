#include "app/reg_key.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text_win32.h"
#include "tests/support/temp_dir.h"

namespace {

// A fresh key below HKEY_CURRENT_USER for each test, deleted afterwards.
class RegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\VantreoTest\\" + testing_support::UniqueName("regkey");
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }
  void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VantreoTest"); }

  // Stores `bytes` as given, through the A function, as a program of narrow strings does (a
  // string type is taken in the system code page); a string without its NUL stays without it.
  void SetRaw(const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_WRITE, &key),
              ERROR_SUCCESS);
    // RegSetValueExA adds a missing NUL when the byte after the data is one.
    std::string buffer = bytes + "X";
    ASSERT_EQ(::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(buffer.data()),
                               static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }
  // Stores UTF-8 `text` as the system holds text: UTF-16 with its NUL.
  void SetString(const char* name, const std::string& text) {
    const std::wstring wide = platform::Utf8ToWide(text);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, platform::Utf8ToWide(path_).c_str(),
                                platform::Utf8ToWide(name).c_str(), REG_SZ, wide.c_str(),
                                static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  // Reads through a 260-byte buffer as the program does; the buffer starts full of 'x'.
  struct Read {
    LONG result;
    DWORD bytes;
    std::string text;
  };
  Read ReadValue(const char* name) {
    RegKey key;
    EXPECT_EQ(key.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_READ), ERROR_SUCCESS);
    char buffer[MAX_PATH];
    std::fill(buffer, buffer + MAX_PATH, 'x');
    DWORD bytes = sizeof(buffer);
    LONG result = key.ReadString(name, buffer, &bytes);
    return {result, bytes, std::string(buffer, strnlen(buffer, MAX_PATH))};
  }

  std::string path_;
};

TEST_F(RegKeyTest, ReadsStringsOfBothTypesWithTheirNulCounted) {
  SetString("sz", "LauncherWnd");
  SetRaw("expand", REG_EXPAND_SZ, std::string("%TEMP%\\x") + '\0');
  Read sz = ReadValue("sz");
  EXPECT_EQ(sz.result, ERROR_SUCCESS);
  EXPECT_EQ(sz.bytes, 12u);
  EXPECT_EQ(sz.text, "LauncherWnd");
  Read expand = ReadValue("expand");
  EXPECT_EQ(expand.result, ERROR_SUCCESS);
  EXPECT_EQ(expand.bytes, 9u);
  EXPECT_EQ(expand.text, "%TEMP%\\x");  // not expanded
}

TEST_F(RegKeyTest, EveryFailureLeavesTheLengthZero) {
  SetRaw("dword", REG_DWORD, std::string("\x07\0\0\0", 4));
  SetRaw("binary", REG_BINARY, std::string("abc") + '\0');
  SetRaw("unterminated", REG_SZ, "abc");
  SetString("fits", std::string(259, 'a'));      // 260 bytes with the NUL
  SetString("too long", std::string(260, 'a'));  // 261 bytes

  struct Case {
    const char* name;
    LONG result;
  } cases[] = {
      {"absent", ERROR_FILE_NOT_FOUND}, {"dword", ERROR_INVALID_DATA},
      {"binary", ERROR_INVALID_DATA},   {"unterminated", ERROR_INVALID_DATA},
      {"too long", ERROR_MORE_DATA},
  };
  for (const Case& c : cases) {
    Read read = ReadValue(c.name);
    EXPECT_EQ(read.result, c.result) << c.name;
    EXPECT_EQ(read.bytes, 0u) << c.name;
  }
  Read fits = ReadValue("fits");
  EXPECT_EQ(fits.result, ERROR_SUCCESS);
  EXPECT_EQ(fits.bytes, 260u);
  EXPECT_EQ(fits.text, std::string(259, 'a'));
}

TEST_F(RegKeyTest, EmptyStringsReadAsEmpty) {
  SetString("empty", "");
  SetRaw("no data", REG_SZ, "");
  Read empty = ReadValue("empty");
  EXPECT_EQ(empty.result, ERROR_SUCCESS);
  EXPECT_EQ(empty.bytes, 1u);
  EXPECT_EQ(empty.text, "");
  Read noData = ReadValue("no data");
  EXPECT_EQ(noData.result, ERROR_SUCCESS);
  EXPECT_EQ(noData.bytes, 0u);
  EXPECT_EQ(noData.text, "");
}

// Text stored as UTF-16, and as a build of narrow code page 936 strings stored it under the
// tests' Chinese system: "D:\乗\游戏", where 乗 is 81 5C (its second byte a backslash).
TEST_F(RegKeyTest, TextInAnyScriptOrInCodePage936ReadsBackAsUtf8) {
  ASSERT_EQ(::GetACP(), 936u);
  const std::string any = "C:\\Games\\한게임 Zoë\\游戏";
  SetString("any", any);
  SetRaw("gbk", REG_SZ, std::string("D:\\\x81\x5C\\\xD3\xCE\xCF\xB7") + '\0');
  const std::pair<const char*, std::string> expected[] = {{"any", any}, {"gbk", "D:\\乗\\游戏"}};
  for (const auto& [name, text] : expected) {
    Read read = ReadValue(name);
    EXPECT_EQ(read.result, ERROR_SUCCESS) << name;
    EXPECT_EQ(read.text, text);
    EXPECT_EQ(read.bytes, text.size() + 1) << name;
  }
}

TEST_F(RegKeyTest, WithoutAKeyNothingReads) {
  RegKey key;
  char buffer[MAX_PATH];
  DWORD bytes = sizeof(buffer);
  EXPECT_NE(key.ReadString("x", buffer, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);  // nothing held
}

TEST_F(RegKeyTest, FailedOpenKeepsTheKeyHeld) {
  SetString("v", "kept");
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_READ), ERROR_SUCCESS);
  HKEY held = key.Handle();
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, (path_ + "\\missing").c_str(), KEY_READ),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Handle(), held);
  char buffer[MAX_PATH];
  DWORD bytes = sizeof(buffer);
  EXPECT_EQ(key.ReadString("v", buffer, &bytes), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "kept");
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(key.Handle(), nullptr);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, WriteStringLandsInTheHeldKeyOrInASubKey) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_READ | KEY_WRITE), ERROR_SUCCESS);
  EXPECT_EQ(key.WriteString("", "E:\\Games\\Vantreo", "Path"), ERROR_SUCCESS);
  EXPECT_EQ(key.WriteString("Sub", "below", "Name"), ERROR_SUCCESS);
  key.Close();

  DWORD type = 0;
  char data[MAX_PATH] = {};
  DWORD size = sizeof(data);
  ASSERT_EQ(::RegGetValueA(HKEY_CURRENT_USER, path_.c_str(), "Path", RRF_RT_ANY, &type, data,
                           &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof("E:\\Games\\Vantreo"));
  EXPECT_STREQ(data, "E:\\Games\\Vantreo");
  size = sizeof(data);
  ASSERT_EQ(::RegGetValueA(HKEY_CURRENT_USER, (path_ + "\\Sub").c_str(), "Name", RRF_RT_ANY,
                           &type, data, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(data, "below");
}

TEST_F(RegKeyTest, WriteWithoutAKeyFails) {
  RegKey key;
  EXPECT_NE(key.WriteString("", "x", "Path"), ERROR_SUCCESS);
}

}  // namespace

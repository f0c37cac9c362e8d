// Comparing file names and URLs without regard to letter case, in UTF-8; on Windows the
// program's UTF-8 to and from the system's UTF-16.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "platform/text_win32.h"
#endif

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CompareNoCase, Table) {
  const struct {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
      {"", "", 0},        {"ABC", "abc", 0}, {"abc", "ABD", -1},
      {"abcd", "ABC", 1}, {"ab", "abc", -1}, {"a中", "a", 1},
      {"C:\\Games\\한게임\\SETUP.EXE", "c:\\games\\한게임\\setup.exe", 0},
      {"中文.exe", "中文.EXE", 0},
      {"中", "文", -1},  // U+4E2D before U+6587
#ifdef _WIN32
      {"Zoë", "ZOË", 0},  // every letter folds, as in the file system: one file
#else
      {"Zoë", "ZOË", 1},  // only ASCII letters fold: the bytes of "ë" are never letters
#endif
      {"Zoë", "Zoe", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sign(platform::CompareNoCase(c.a, c.b)), c.order) << c.a << " / " << c.b;
    EXPECT_EQ(Sign(platform::CompareNoCase(c.b, c.a)), -c.order) << c.b << " / " << c.a;
  }
}

#ifdef _WIN32
TEST(Utf8AndUtf16, BothWaysEndingAtZeroAndReplacingWhatIsNotText) {
  const struct {
    std::string utf8;
    std::wstring utf16;
  } cases[] = {
      {"", L""},
      {"C:\\Games", L"C:\\Games"},
      {"正在安装：42%", L"\x6B63\x5728\x5B89\x88C5\xFF1A" L"42%"},
      {"한게임 Zoë", L"\xD55C\xAC8C\xC784 Zo\x00EB"},
      {"\xF0\x9F\x82\xA1", L"\xD83C\xDCA1"},  // U+1F0A1, a playing card: a surrogate pair
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::Utf8ToWide(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(platform::WideToUtf8(c.utf16), c.utf8) << c.utf8;
  }
  // Each ends at a zero; what is not text becomes U+FFFD, never silently dropped.
  EXPECT_EQ(platform::Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(platform::WideToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(platform::Utf8ToWide(static_cast<const char*>(nullptr)), L"");
  EXPECT_EQ(platform::WideToUtf8(static_cast<const wchar_t*>(nullptr)), "");
  EXPECT_EQ(platform::Utf8ToWide("a\xD6\xD0"), L"a\xFFFD\xFFFD");  // code page 936 bytes
  EXPECT_EQ(platform::WideToUtf8(L"a\xD800"), "a\xEF\xBF\xBD");  // a lone surrogate
}
#endif

}  // namespace

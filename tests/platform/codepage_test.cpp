// Comparing file names and URLs without regard to letter case, in UTF-8.
#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CompareNoCase, Table) {
  const struct {
    const char* a;
    const char* b;
    int order;         // on every system
  } cases[] = {
      {"", "", 0},
      {"ABC", "abc", 0},
      {"abc", "ABD", -1},
      {"abcd", "ABC", 1},
      {"ab", "abc", -1},
      {"C:\\Games\\한게임\\SETUP.EXE", "c:\\games\\한게임\\setup.exe", 0},
      {"中文.exe", "中文.EXE", 0},
      {"中", "文", -1},  // U+4E2D before U+6587
      {"a中", "a", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sign(platform::CompareNoCase(c.a, c.b)), c.order) << c.a << " / " << c.b;
    EXPECT_EQ(Sign(platform::CompareNoCase(c.b, c.a)), -c.order) << c.b << " / " << c.a;
  }
}

TEST(CompareNoCase, LettersBeyondAscii) {
#ifdef _WIN32
  // Windows folds them as its file system does: "ZOË" and "zoë" name one file.
  EXPECT_EQ(platform::CompareNoCase("Zoë", "ZOË"), 0);
#else
  // Elsewhere only ASCII letters fold; the bytes of "ë" are never taken for letters.
  EXPECT_NE(platform::CompareNoCase("Zoë", "ZOË"), 0);
#endif
  EXPECT_NE(platform::CompareNoCase("Zoë", "Zoe"), 0);
}

}  // namespace

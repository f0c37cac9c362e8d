#include "app/install_settings.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

namespace {

// These tests own HKEY_CURRENT_USER\Software\Vantreo in the test prefix.
class InstallSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Vantreo"); }
  void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Vantreo"); }

  static void Set(const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, InstallSettings::kKeyPath, 0, nullptr, 0,
                                KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                     static_cast<DWORD>(bytes.size()));
    ::RegCloseKey(key);
  }
  static void SetPath(const std::string& text) { Set("Path", REG_SZ, text + '\0'); }

  // type and raw bytes of a value, or type 0 when it is missing.
  static std::pair<DWORD, std::string> Stored(const char* name) {
    DWORD type = 0;
    char data[1024];
    DWORD size = sizeof(data);
    if (::RegGetValueA(HKEY_CURRENT_USER, InstallSettings::kKeyPath, name,
                       RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS) {
      return {0, ""};
    }
    return {type, std::string(data, size)};
  }
};

TEST_F(InstallSettingsTest, NoKeyReadsAsNothingStored) {
  std::string folder = "unchanged";
  EXPECT_FALSE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "unchanged");
}

TEST_F(InstallSettingsTest, StoredFolderIsReadWithBackslashesCollapsed) {
  std::string folder;
  SetPath("E:\\Games\\Vantreo");
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "E:\\Games\\Vantreo");
  SetPath("E:\\\\Games\\\\Vantreo");
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "E:\\Games\\Vantreo");
  SetPath("D:\\乗\\Vantreo");  // a trail byte 0x5C before a backslash is no double backslash
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "D:\\乗\\Vantreo");
  const std::string longest = "E:\\" + std::string(256, 'x');  // 260 bytes with the NUL
  SetPath(longest);
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, longest);
}

TEST_F(InstallSettingsTest, UnusablePathReadsAsNothingStored) {
  struct Case {
    const char* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {"empty", REG_SZ, std::string(1, '\0')},
      {"dword", REG_DWORD, std::string(4, '\0')},
      {"too long", REG_SZ, "E:\\" + std::string(257, 'x') + '\0'},
  };
  for (const Case& c : cases) {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Vantreo");
    Set("Path", c.type, c.bytes);
    std::string folder = "unchanged";
    EXPECT_FALSE(InstallSettings::ReadInstallFolder(folder)) << c.name;
    EXPECT_EQ(folder, "unchanged") << c.name;
  }
  ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Vantreo");
  Set("LauncherClass", REG_SZ, std::string("x") + '\0');  // the key without Path
  std::string folder;
  EXPECT_FALSE(InstallSettings::ReadInstallFolder(folder));
}

TEST_F(InstallSettingsTest, WriteStoresPathAndAZeroUnionIdEachTime) {
  InstallSettings::WriteInstallFolder("D:\\Games\\Vantreo");
  Set("UnionID", REG_DWORD, std::string("\x05\0\0\0", 4));
  InstallSettings::WriteInstallFolder("D:\\Vantreo");
  EXPECT_EQ(Stored("Path"), std::make_pair(DWORD{REG_SZ}, std::string("D:\\Vantreo") + '\0'));
  EXPECT_EQ(Stored("UnionID"), std::make_pair(DWORD{REG_DWORD}, std::string(4, '\0')));
  std::string folder;
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "D:\\Vantreo");
}

TEST_F(InstallSettingsTest, FoldersEndInTheProductFolder) {
  EXPECT_EQ(InstallSettings::MakeInstallFolder("D:\\"), "D:\\Vantreo");
  EXPECT_EQ(InstallSettings::MakeInstallFolder("D:\\Games"), "D:\\Games\\Vantreo");
  EXPECT_EQ(InstallSettings::MakeInstallFolder("D:\\乗"), "D:\\乗\\Vantreo");
  char programFiles[MAX_PATH] = {};
  ASSERT_TRUE(::SHGetSpecialFolderPathA(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE));
  EXPECT_EQ(InstallSettings::DefaultInstallFolder(), std::string(programFiles) + "\\Vantreo");
}

TEST_F(InstallSettingsTest, FolderFitsOnlyWhenItsProgramPathsStayUnderMaxPath) {
  // 245 characters + "\GlyphHint.exe" (14) + the NUL fill MAX_PATH exactly.
  const std::string longest = "D:\\" + std::string(234, 'x') + "\\Vantreo";
  ASSERT_EQ(longest.size(), 245u);
  EXPECT_TRUE(InstallSettings::InstallFolderFits(longest));
  EXPECT_FALSE(InstallSettings::InstallFolderFits("D:\\" + std::string(235, 'x') + "\\Vantreo"));
  EXPECT_FALSE(InstallSettings::InstallFolderFits("D:\\" + std::string(250, 'x') + "\\Vantreo"));
  EXPECT_TRUE(InstallSettings::InstallFolderFits(InstallSettings::MakeInstallFolder("D:\\")));
  EXPECT_TRUE(InstallSettings::InstallFolderFits(InstallSettings::DefaultInstallFolder()));
}

TEST_F(InstallSettingsTest, GivenFolderMustBeAFullPathOfAllowedCharactersThatFits) {
  using InstallSettings::FolderProblem;
  const struct {
    std::string folder;
    FolderProblem problem;
  } cases[] = {
      {"C:\\Net Bar\\Vantreo", FolderProblem::None},
      {"d:\\", FolderProblem::None},
      {"D:\\网吧\\游戏", FolderProblem::None},
      // Second bytes 0x7C ('|') and 0x5C ('\\') of double-byte characters are no separators.
      {"D:\\皘癨", FolderProblem::None},
      {"Vantreo", FolderProblem::NotAbsolute},
      {"..\\Vantreo", FolderProblem::NotAbsolute},
      {"\\Vantreo", FolderProblem::NotAbsolute},
      {"C:Vantreo", FolderProblem::NotAbsolute},
      {"\\\\server\\share\\Vantreo", FolderProblem::NotAbsolute},
      {"1:\\Vantreo", FolderProblem::NotAbsolute},
      {"", FolderProblem::NotAbsolute},
      {"C:\\Van|treo", FolderProblem::BadCharacter},
      {"C:\\Vantreo?", FolderProblem::BadCharacter},
      {"C:\\a:b", FolderProblem::BadCharacter},
      {"C:\\a\tb", FolderProblem::BadCharacter},
      {"D:\\" + std::string(234, 'x') + "\\Vantreo", FolderProblem::None},
      {"D:\\" + std::string(235, 'x') + "\\Vantreo", FolderProblem::TooLong},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InstallSettings::CheckInstallFolder(c.folder), c.problem) << c.folder;
  }
}

}  // namespace

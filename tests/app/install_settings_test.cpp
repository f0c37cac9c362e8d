#include "app/install_settings.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

#include "platform/text_win32.h"

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
  // The folder as the system holds text (UTF-16 with its NUL), from UTF-8.
  static void SetPath(const std::string& text) {
    const std::wstring key = platform::Utf8ToWide(InstallSettings::kKeyPath);
    const std::wstring wide = platform::Utf8ToWide(text);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Path", REG_SZ, wide.c_str(),
                                static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  // Type and bytes of a value (a text as UTF-8 with its NUL), or type 0 when it is missing.
  static std::pair<DWORD, std::string> Stored(const char* name) {
    DWORD type = 0;
    wchar_t data[1024];
    DWORD size = sizeof(data);
    if (::RegGetValueW(HKEY_CURRENT_USER, platform::Utf8ToWide(InstallSettings::kKeyPath).c_str(),
                       platform::Utf8ToWide(name).c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, data,
                       &size) != ERROR_SUCCESS) {
      return {0, ""};
    }
    if (type == REG_SZ) return {type, platform::WideToUtf8(std::wstring(data, size / 2)) + '\0'};
    return {type, std::string(reinterpret_cast<const char*>(data), size)};
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
  SetPath("C:\\Games\\한게임 Zoë");
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "C:\\Games\\한게임 Zoë");
  const std::string longest = "E:\\" + std::string(256, 'x');  // 260 characters with the NUL
  SetPath(longest);
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, longest);
  // 259 characters of three UTF-8 bytes each: Windows counts characters.
  std::string wide = "E:\\";
  for (int i = 0; i < 256; ++i) wide += "游";
  SetPath(wide);
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, wide);
}

TEST_F(InstallSettingsTest, FolderStoredInCodePage936ReadsBackAsTheSameFolder) {
  // As a build of narrow code page 936 strings stored it, under the tests' Chinese system:
  // "D:\乗\Vantreo", where 乗 is 81 5C (a trail byte 0x5C before a backslash is no double
  // backslash).
  ASSERT_EQ(::GetACP(), 936u);
  Set("Path", REG_SZ, std::string("D:\\\x81\x5C\\Vantreo") + '\0');
  std::string folder;
  EXPECT_TRUE(InstallSettings::ReadInstallFolder(folder));
  EXPECT_EQ(folder, "D:\\乗\\Vantreo");
  // Read, nothing is rewritten.
  EXPECT_EQ(Stored("Path"), std::make_pair(DWORD{REG_SZ}, std::string("D:\\乗\\Vantreo") + '\0'));
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
  wchar_t programFiles[MAX_PATH] = {};
  ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE));
  EXPECT_EQ(InstallSettings::DefaultInstallFolder(),
            platform::WideToUtf8(programFiles) + "\\Vantreo");
}

TEST_F(InstallSettingsTest, FolderFitsOnlyWhenItsProgramPathsStayUnderMaxPath) {
  // 245 characters + "\GlyphHint.exe" (14) + the NUL fill MAX_PATH exactly.
  const std::string longest = "D:\\" + std::string(234, 'x') + "\\Vantreo";
  ASSERT_EQ(longest.size(), 245u);
  EXPECT_TRUE(InstallSettings::InstallFolderFits(longest));
  EXPECT_FALSE(InstallSettings::InstallFolderFits("D:\\" + std::string(235, 'x') + "\\Vantreo"));
  EXPECT_FALSE(InstallSettings::InstallFolderFits("D:\\" + std::string(250, 'x') + "\\Vantreo"));
  // Counted in characters as Windows counts them, not in UTF-8 bytes.
  std::string chinese = "D:\\";
  for (int i = 0; i < 234; ++i) chinese += "游";
  EXPECT_TRUE(InstallSettings::InstallFolderFits(chinese + "\\Vantreo"));
  EXPECT_FALSE(InstallSettings::InstallFolderFits(chinese + "游\\Vantreo"));
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
      {"C:\\Games\\한게임 Zoë", FolderProblem::None},
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

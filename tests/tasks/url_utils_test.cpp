#include "tasks/url_utils.h"

#include <gtest/gtest.h>

#include <vector>

#include "download/connection.h"
#ifdef _WIN32
#include <windows.h>

#include "platform/text_win32.h"
#endif

#include "platform/files.h"
#include "platform/private_folder.h"
#include "tests/support/temp_dir.h"

namespace {

struct SplitCase {
  const char* url;
  const char* host;
  const char* urlPrefix;
  const char* fileName;
};

TEST(SplitUrl, Table) {
  const SplitCase cases[] = {
      {"http://host/dir/file.exe", "host", "http://host/dir/", "file.exe"},
      {"  http://host/dir/file.exe\r\n", "host", "http://host/dir/", "file.exe"},
      {"host/dir/f.exe", "host", "host/dir/", "f.exe"},
      {"http://host", "", "http://", "host"},
      {"HTTP://host/x", "host", "HTTP://host/", "x"},
      {"http://host:8080/x", "host", "http://host:8080/", "x"},
      {"HTTPS://h:4431/d/f.exe", "h", "HTTPS://h:4431/d/", "f.exe"},
      {"http://host/get?f=a/b", "host", "http://host/get?f=a/", "b"},
      {"\t\v\f http://h/a\t", "h", "http://h/", "a"},
      {"file.exe", "", "", "file.exe"},
      {"", "", "", ""},
      {" \r\n ", "", "", ""},
      // Names in any script go to the request line as they are: UTF-8, never encoded again.
      {"http://h/下载/中文.exe", "h", "http://h/下载/", "中文.exe"},
      {"http://h/d/\xE4\xB8\xAD\xE6\x96\x87.exe", "h", "http://h/d/",
       "\xE4\xB8\xAD\xE6\x96\x87.exe"},
      {"https://h:4431/한게임/Zoë.exe", "h", "https://h:4431/한게임/", "Zoë.exe"},
      {"http://h/%E4%B8%AD.exe", "h", "http://h/", "%E4%B8%AD.exe"},
      {"http://", "", "http://", ""},
      {"x http://h/d/", "h", "x http://h/d/", ""},
  };
  for (const SplitCase& c : cases) {
    UrlParts parts = SplitUrl(c.url);
    EXPECT_EQ(parts.host, c.host) << c.url;
    EXPECT_EQ(parts.urlPrefix, c.urlPrefix) << c.url;
    EXPECT_EQ(parts.fileName, c.fileName) << c.url;
  }
}

TEST(SplitUrl, SchemeAndPort) {
  const struct {
    const char* url;
    bool secure;
    int port;
  } cases[] = {
      {"http://h/f", false, 80},          {"https://h/f", true, 443},
      {"HtTpS://h/f", true, 443},         {"https://h:4431/f", true, 4431},
      {"http://h:443/f", false, 443},     {"https://h:0/f", true, 0},
      {"https://h:65536/f", true, 0},     {"https://h:44x/f", true, 0},
      {"https://h:/f", true, 0},          {"x http://h:81/f", false, 81},
  };
  for (const auto& c : cases) {
    const UrlParts parts = SplitUrl(c.url);
    EXPECT_EQ(parts.secure, c.secure) << c.url;
    EXPECT_EQ(parts.port, c.port) << c.url;
  }
}

TEST(SplitUrl, IPv6LiteralsKeepTheirBrackets) {
  const struct {
    const char* url;
    const char* host;
    int port;
  } cases[] = {
      {"http://[::1]:8080/f", "[::1]", 8080},
      {"https://[2001:db8::1]/f", "[2001:db8::1]", 443},
      {"http://[::1]/f", "[::1]", 80},
      {"http://[::1/f", "", 0},       // the bracket is never closed
      {"http://[::1]x:80/f", "", 0},  // text between the bracket and the port
  };
  for (const auto& c : cases) {
    const UrlParts parts = SplitUrl(c.url);
    EXPECT_EQ(parts.host, c.host) << c.url;
    EXPECT_EQ(parts.port, c.port) << c.url;
  }
  EXPECT_EQ((ServerAddress{"[::1]", 8080}).HostField(), "[::1]:8080");
}

TEST(CollapseDoubleBackslashes, Runs) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:\\\\Vantreo", "C:\\Vantreo"},                 // 2 -> 1
      {"C:\\\\\\Vantreo", "C:\\\\Vantreo"},             // 3 -> 2
      {"C:\\\\\\\\Vantreo", "C:\\\\Vantreo"},           // 4 -> 2
      {"\\\\server\\share\\Vantreo", "\\server\\share\\Vantreo"},  // network path
      {"C:\\Program Files\\Vantreo", "C:\\Program Files\\Vantreo"},
      {"D:\\\\Games\\\\Vantreo\\\\", "D:\\Games\\Vantreo\\"},
      {"", ""},
      {"C:\\\\Games\\\\한게임 Zoë\\\\中文", "C:\\Games\\한게임 Zoë\\中文"},
  };
  for (const auto& c : cases) {
    std::string path = c.in;
    CollapseDoubleBackslashes(path);
    EXPECT_EQ(path, c.out) << c.in;
  }
}

class TempDownloadPath : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : created_) {
      platform::SetReadOnly(path, false);
      platform::RemoveFile(path);
    }
  }
  std::string Create(const std::string& path, bool readOnly) {
    EXPECT_TRUE(testing_support::WriteFile(path, "old"));
    if (readOnly) {
      EXPECT_TRUE(platform::SetReadOnly(path, true));
    }
    created_.push_back(path);
    return path;
  }
  std::vector<std::string> created_;
};

TEST_F(TempDownloadPath, FreeNameInTheTemporaryFolder) {
  std::string name = testing_support::UniqueName("dl") + ".exe";
  std::string folder = platform::DownloadFolder();
  ASSERT_FALSE(folder.empty());
  char last = folder.back();
  EXPECT_TRUE(last == '/' || last == '\\');
  EXPECT_EQ(MakeTempDownloadPath(name), folder + name);
}

TEST_F(TempDownloadPath, OldWritableFileIsDeleted) {
  std::string name = testing_support::UniqueName("dl") + ".exe";
  std::string path = Create(platform::DownloadFolder() + name, false);
  EXPECT_EQ(MakeTempDownloadPath(name), path);
  EXPECT_FALSE(platform::PathExists(path));
}

TEST_F(TempDownloadPath, ReadOnlyFilesGetTmpSuffixes) {
  // A name outside any one code page: every file call must take it whole.
  std::string name = testing_support::UniqueName("dl") + "_한게임 Zoë 中文.exe";
  std::string path = Create(platform::DownloadFolder() + name, true);
  EXPECT_EQ(MakeTempDownloadPath(name), path + "_tmp");
  Create(path + "_tmp", true);
  EXPECT_EQ(MakeTempDownloadPath(name), path + "_tmp_tmp");
  // The blocked files are left alone.
  EXPECT_EQ(testing_support::ReadFile(path), "old");
  EXPECT_EQ(testing_support::ReadFile(path + "_tmp"), "old");
}

TEST_F(TempDownloadPath, WritableTmpFileIsTaken) {
  std::string name = testing_support::UniqueName("dl") + ".exe";
  std::string path = Create(platform::DownloadFolder() + name, true);
  Create(path + "_tmp", false);
  EXPECT_EQ(MakeTempDownloadPath(name), path + "_tmp");
  EXPECT_FALSE(platform::PathExists(path + "_tmp"));
}

#ifdef _WIN32
TEST(TempFolder, ATemporaryFolderOfAnyScriptIsFoundAndUsable) {
  // A user profile named in another script: its temporary folder holds no code page's text.
  const std::string folder = platform::TempFolder() + testing_support::UniqueName("한게임 Zoë 临时");
  ASSERT_TRUE(::CreateDirectoryW(platform::Utf8ToWide(folder).c_str(), nullptr));
  wchar_t before[MAX_PATH + 1] = {};
  ::GetEnvironmentVariableW(L"TMP", before, MAX_PATH + 1);
  ::SetEnvironmentVariableW(L"TMP", platform::Utf8ToWide(folder).c_str());
  const std::string found = platform::TempFolder();
  ::SetEnvironmentVariableW(L"TMP", before[0] ? before : nullptr);
  EXPECT_EQ(found, folder + "\\");
  const std::string file = found + "VantreoSetup.exe";
  EXPECT_TRUE(testing_support::WriteFile(file, "bytes"));
  EXPECT_EQ(platform::ListFiles(found).size(), 1u);
  EXPECT_EQ(platform::FolderOf(file), found);
  EXPECT_EQ(platform::FileSize(file), 5u);
  EXPECT_TRUE(platform::RenameReplacing(file, file + ".done"));
  EXPECT_TRUE(platform::RemoveFile(file + ".done"));
  EXPECT_TRUE(::RemoveDirectoryW(platform::Utf8ToWide(folder).c_str()));
}
#endif

}  // namespace

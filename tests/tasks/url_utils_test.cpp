#include "tasks/url_utils.h"

#include <gtest/gtest.h>

#include <vector>

#include "download/connection.h"
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
      {"http://[::1/f", "", 0},          // the bracket is never closed
      {"http://[::1]x:80/f", "", 0},     // text between the bracket and the port
  };
  for (const auto& c : cases) {
    const UrlParts parts = SplitUrl(c.url);
    EXPECT_EQ(parts.host, c.host) << c.url;
    EXPECT_EQ(parts.port, c.port) << c.url;
  }
  ServerAddress server;
  server.host = "[::1]";
  server.port = 8080;
  EXPECT_EQ(server.HostField(), "[::1]:8080");
}

TEST(SplitUrl, KeepsDoubleByteNamesWhole) {
  // "中文.exe" in code page 936 as a file name.
  UrlParts parts = SplitUrl("http://h/d/\xD6\xD0\xCE\xC4.exe");
  EXPECT_EQ(parts.host, "h");
  EXPECT_EQ(parts.urlPrefix, "http://h/d/");
  EXPECT_EQ(parts.fileName, "\xD6\xD0\xCE\xC4.exe");
}

TEST(AnsiToUtf8, AsciiUnchanged) {
  EXPECT_EQ(AnsiToUtf8("http://host/dir/VantreoSetup.exe?a=1&b=2"),
            "http://host/dir/VantreoSetup.exe?a=1&b=2");
  EXPECT_EQ(AnsiToUtf8(""), "");
}

TEST(AnsiToUtf8, DoubleByteCharacters) {
  EXPECT_EQ(AnsiToUtf8("\xD6\xD0"), "\xE4\xB8\xAD");                       // U+4E2D
  EXPECT_EQ(AnsiToUtf8("a\xD6\xD0/b"), "a\xE4\xB8\xAD/b");
  // "正在安装" written by the compiler in code page 936.
  EXPECT_EQ(AnsiToUtf8("正在安装"), "\xE6\xAD\xA3\xE5\x9C\xA8\xE5\xAE\x89\xE8\xA3\x85");
}

TEST(AnsiToUtf8, StopsAtZeroAndAtALoneLeadByte) {
  EXPECT_EQ(AnsiToUtf8(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(AnsiToUtf8("ab\xD6"), "ab");
  EXPECT_EQ(AnsiToUtf8(std::string("a\xD6\0\xD0", 4)), "a");
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
  };
  for (const auto& c : cases) {
    std::string path = c.in;
    CollapseDoubleBackslashes(path);
    EXPECT_EQ(path, c.out) << c.in;
  }
}

TEST(CollapseDoubleBackslashes, TrailByteIsNotABackslash) {
  // 0x5C is the trail byte of this double-byte character; the real backslash behind it stays.
  std::string path = "C:\\\x95\x5C\\x";
  CollapseDoubleBackslashes(path);
  EXPECT_EQ(path, "C:\\\x95\x5C\\x");
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
  std::string name = testing_support::UniqueName("dl") + ".exe";
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

}  // namespace

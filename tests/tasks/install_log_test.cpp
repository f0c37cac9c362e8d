// The installer's log: its line format, its size limit and its refusal to follow links.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "platform/files.h"
#include "tasks/install_log.h"
#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

using testing_support::ReadFile;
using testing_support::UniqueName;

namespace {

class InstallLogTest : public ::testing::Test {
 protected:
  void SetUp() override { path = UniqueName("vlog") + ".log"; }
  void TearDown() override {
    install_log::Close();
    platform::RemoveFile(path);
  }
  std::string path;
};

TEST_F(InstallLogTest, LinesCarryTimeThreadKindAndUtf8Text) {
  ASSERT_TRUE(install_log::Open(path));
  EXPECT_EQ(install_log::Path(), path);
  install_log::Write("STATUS", "正在安装...");
  install_log::Writef("EXIT", "%s ended with exit code %u", "a\r\nb", 3u);
  install_log::Close();
  install_log::Write("STEP", "after the close: dropped");

  const std::string text = ReadFile(path);
  const std::regex line(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d T\\d+ STATUS \xe6\xad\xa3\xe5\x9c\xa8\xe5\xae"
      "\x89\xe8\xa3\x85\\.\\.\\.\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d T\\d+ EXIT a  b ended with exit code 3\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(InstallLogTest, PastItsLimitTheOlderHalfGoes) {
  EXPECT_EQ(install_log::KeepNewestHalf("one\ntwo\n", 100), "one\ntwo\n");
  const std::string lines = "first line\nsecond\nthird\n";  // 11 + 7 + 6 bytes
  EXPECT_EQ(install_log::KeepNewestHalf(lines, 13), "second\nthird\n");
  EXPECT_EQ(install_log::KeepNewestHalf(lines, 12), "third\n");
  EXPECT_EQ(install_log::KeepNewestHalf(lines, 6), "third\n");
  EXPECT_EQ(install_log::KeepNewestHalf(lines, 5), "");

  ASSERT_TRUE(install_log::Open(path));
  const std::string filler(200, 'x');
  for (int i = 0; i < 6000; ++i) install_log::Writef("STEP", "%05d %s", i, filler.c_str());
  install_log::Close();
  const std::string text = ReadFile(path);
  EXPECT_LE(text.size(), kMaxLogBytes);
  EXPECT_GT(text.size(), kMaxLogBytes / 4);
  EXPECT_EQ(text.find("00000 "), std::string::npos) << "the oldest lines went";
  EXPECT_NE(text.find("05999 "), std::string::npos) << "the newest stay";
  EXPECT_EQ(text.compare(0, 2, "20"), 0) << "whole lines only";
}

TEST_F(InstallLogTest, ALinkInTheLogsPlaceIsNotFollowed) {
  // Another program of the user points the log's name at a file the installer must not touch.
  const std::string victim = UniqueName("victim") + ".txt";
  ASSERT_TRUE(testing_support::WriteFile(victim, "precious"));
#ifdef _WIN32
  ASSERT_TRUE(::CreateHardLinkA(path.c_str(), victim.c_str(), nullptr));
#else
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
#endif
  EXPECT_FALSE(install_log::Open(path));
  install_log::Write("STEP", "must go nowhere");
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(install_log::Path(), "");
  platform::RemoveFile(victim);
}

}  // namespace

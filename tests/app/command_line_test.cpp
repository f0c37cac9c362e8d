#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* arguments;
  bool silent;
  const char* folder;  // nullptr: no /D=
  bool noLaunch;
  const char* logPath;
  CommandLineError error;
  const char* offending;
};

constexpr auto kOk = CommandLineError::None;

const Case kCases[] = {
    // No arguments: the wizard, as always.
    {"", false, nullptr, false, "", kOk, ""},
    {"   \t ", false, nullptr, false, "", kOk, ""},
    // Any letter case, any order; /D= last takes the rest, blanks included, quotes optional.
    {" /S", true, nullptr, false, "", kOk, ""},
    {" /s /nolaunch", true, nullptr, true, "", kOk, ""},
    {" /NoLaunch /S /D=C:\\Net Bar\\Vantreo", true, "C:\\Net Bar\\Vantreo", true, "", kOk, ""},
    {" /S /d=C:\\Net  Bar\\Vantreo  ", true, "C:\\Net  Bar\\Vantreo", false, "", kOk, ""},
    {" /S \"/D=C:\\Net Bar\\Vantreo\"", true, "C:\\Net Bar\\Vantreo", false, "", kOk, ""},
    {" /S /D=\"C:\\Net Bar\\Vantreo\"", true, "C:\\Net Bar\\Vantreo", false, "", kOk, ""},
    // What follows /D= is folder, not switches (installers have always read it so).
    {" /S /D=C:\\Games /NOLAUNCH", true, "C:\\Games /NOLAUNCH", false, "", kOk, ""},
    {" /S /D=D:\\网吧\\游戏", true, "D:\\网吧\\游戏", false, "", kOk, ""},
    {" /LOG=C:\\logs\\a.log /s", true, nullptr, false, "C:\\logs\\a.log", kOk, ""},
    {" \"/log=C:\\my logs\\a.log\" /S", true, nullptr, false, "C:\\my logs\\a.log", kOk, ""},
    {" /LOG=C:\\a.log", false, nullptr, false, "C:\\a.log", kOk, ""},  // the wizard, logged there
    // Errors: the first one ends the reading.
    {" /S /Q", true, nullptr, false, "", CommandLineError::UnknownSwitch, "/Q"},
    {" /SILENT", false, nullptr, false, "", CommandLineError::UnknownSwitch, "/SILENT"},
    {" -S", false, nullptr, false, "", CommandLineError::UnknownSwitch, "-S"},
    {" S", false, nullptr, false, "", CommandLineError::UnknownSwitch, "S"},
    {" /S=1", false, nullptr, false, "", CommandLineError::UnknownSwitch, "/S=1"},
    {" /S /D=", true, "", false, "", CommandLineError::MissingValue, "/D="},
    {" /S /D=  \"\" ", true, "", false, "", CommandLineError::MissingValue, "/D="},
    {" /S /LOG=", true, nullptr, false, "", CommandLineError::MissingValue, "/LOG="},
    {" /D=C:\\Games", false, "C:\\Games", false, "", CommandLineError::NeedsSilent, "/D="},
    {" /NOLAUNCH", false, nullptr, true, "", CommandLineError::NeedsSilent, "/NOLAUNCH"},
};

TEST(CommandLineTest, ReadsEachLineAsScriptsWriteIt) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("arguments: [") + c.arguments + "]");
    const CommandLine line = ParseCommandLine(c.arguments);
    EXPECT_EQ(line.error, c.error);
    EXPECT_EQ(line.offending, c.offending);
    if (c.error != kOk && c.error != CommandLineError::NeedsSilent) continue;
    EXPECT_EQ(line.silent, c.silent);
    EXPECT_EQ(line.folderGiven, c.folder != nullptr);
    EXPECT_EQ(line.folder, c.folder ? c.folder : "");
    EXPECT_EQ(line.noLaunch, c.noLaunch);
    EXPECT_EQ(line.logPath, c.logPath);
  }
}

TEST(CommandLineTest, ArgumentsFollowTheProgramNameQuotedOrNot) {
  EXPECT_EQ(ArgumentsOf("\"C:\\Down loads\\VantreoInstaller.exe\" /S /D=C:\\a b"), " /S /D=C:\\a b");
  EXPECT_EQ(ArgumentsOf("VantreoInstaller.exe /S"), " /S");
  EXPECT_EQ(ArgumentsOf("VantreoInstaller.exe"), "");
  EXPECT_EQ(ArgumentsOf("\"C:\\x y.exe\""), "");
  EXPECT_EQ(ArgumentsOf("\"C:\\unclosed /S"), "");
}

TEST(CommandLineTest, ErrorsAreDescribedForTheLog) {
  EXPECT_EQ(DescribeError(ParseCommandLine("/S /X")), "unknown switch \"/X\"");
  EXPECT_EQ(DescribeError(ParseCommandLine("/S /LOG=")), "\"/LOG=\" needs a value");
  EXPECT_EQ(DescribeError(ParseCommandLine("/NOLAUNCH")), "\"/NOLAUNCH\" goes only with /S");
}

}  // namespace

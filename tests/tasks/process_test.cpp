// Starting a program from a Windows command line and polling it: the fake setup program
// notes how it was started, waits as long as it is told and exits with the code it is told.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/files.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_fixture.h"

using task_test::SetEnvironment;
using task_test::WaitUntil;
using testing_support::ReadFile;
using testing_support::UniqueName;

namespace {

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* program = std::getenv("VANTREO_FAKE_SETUP");
    ASSERT_NE(program, nullptr) << "VANTREO_FAKE_SETUP is not set: run this test through ctest";
    fakeSetup = program;
    record = platform::TempFolder() + UniqueName("vproc") + ".txt";
    SetEnvironment("VANTREO_FAKE_SETUP_RECORD", record);
    SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "0");
    SetEnvironment("VANTREO_FAKE_SETUP_EXIT", "0");
  }
  void TearDown() override { platform::RemoveFile(record); }

  std::string fakeSetup;
  std::string record;
};

TEST_F(ProcessTest, RunsTheProgramWithItsArgumentsAndReportsItsExit) {
  SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "0.4");
  SetEnvironment("VANTREO_FAKE_SETUP_EXIT", "7");
  const std::string commandLine = "\"" + fakeSetup + "\" /VERYSILENT /SILENT ";
  platform::Process program;
  ASSERT_TRUE(program.Start(commandLine));
  EXPECT_TRUE(program.IsValid());
  EXPECT_EQ(program.Poll(), platform::ProcessState::Running);
  uint32_t code = 0;
  ASSERT_TRUE(WaitUntil([&] { return program.Poll(&code) == platform::ProcessState::Exited; },
                        10000));
  EXPECT_EQ(code, 7u);
  // Once exited, it stays so.
  EXPECT_EQ(program.Poll(), platform::ProcessState::Exited);
#ifdef _WIN32
  EXPECT_EQ(ReadFile(record), "commandline=" + commandLine + "\nexited\n");
#else
  EXPECT_EQ(ReadFile(record), "program=" + fakeSetup +
                                  "\nargument=/VERYSILENT\nargument=/SILENT\nexited\n");
#endif
}

TEST_F(ProcessTest, ExitCode259IsAnExitNotARunningProgram) {
  SetEnvironment("VANTREO_FAKE_SETUP_EXIT", "259");
  platform::Process program;
  ASSERT_TRUE(program.Start("\"" + fakeSetup + "\""));
  uint32_t code = 0;
  ASSERT_TRUE(WaitUntil([&] { return program.Poll(&code) == platform::ProcessState::Exited; },
                        10000));
#ifdef _WIN32
  EXPECT_EQ(code, 259u);
#else
  EXPECT_EQ(code, 259u & 0xFF);  // POSIX keeps the low byte of an exit status
#endif
}

TEST_F(ProcessTest, ProgramGoesOnWhenItsOwnerLetsGo) {
  SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "0.5");
  {
    platform::Process program;
    ASSERT_TRUE(program.Start("\"" + fakeSetup + "\" /X"));
    ASSERT_TRUE(WaitUntil([&] { return !ReadFile(record).empty(); }, 10000));
  }
  EXPECT_EQ(ReadFile(record).find("exited"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(record).find("exited") != std::string::npos; },
                        10000));
}

TEST_F(ProcessTest, MissingProgramDoesNotStart) {
  platform::Process program;
  EXPECT_FALSE(program.Start("\"" + platform::TempFolder() + UniqueName("none") + ".exe\" /A"));
  EXPECT_FALSE(program.IsValid());
  EXPECT_EQ(program.Poll(), platform::ProcessState::Exited);
  EXPECT_FALSE(program.Start(""));
}

TEST_F(ProcessTest, MovedOwnerKeepsTheProgram) {
  SetEnvironment("VANTREO_FAKE_SETUP_SECONDS", "0.3");
  platform::Process first;
  ASSERT_TRUE(first.Start("\"" + fakeSetup + "\""));
  platform::Process second(std::move(first));
  EXPECT_FALSE(first.IsValid());
  EXPECT_TRUE(second.IsValid());
  EXPECT_TRUE(WaitUntil([&] { return second.Poll() == platform::ProcessState::Exited; }, 10000));
}

TEST_F(ProcessTest, MakeRunnable) {
  const std::string file = platform::TempFolder() + UniqueName("vrun") + ".exe";
  ASSERT_TRUE(testing_support::WriteFile(file, "data"));
  EXPECT_TRUE(platform::MakeRunnable(file));
#ifndef _WIN32
  namespace fs = std::filesystem;
  EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_exec, fs::perms::none);
#endif
  EXPECT_TRUE(platform::MakeRunnable(file));  // already so
  platform::RemoveFile(file);
  EXPECT_FALSE(platform::MakeRunnable(file));
  EXPECT_FALSE(platform::MakeRunnable(platform::TempFolder()));
}

#ifndef _WIN32
TEST(SplitCommandLine, AsWindowsSplitsIt) {
  struct Case {
    const char* line;
    std::vector<std::string> parts;
  };
  const Case cases[] = {
      {"\"/tmp/my dir/setup.exe\" /VERYSILENT /SILENT ",
       {"/tmp/my dir/setup.exe", "/VERYSILENT", "/SILENT"}},
      // Unquoted, the program ends at the first blank: why the task quotes it.
      {"/tmp/my dir/setup.exe /A", {"/tmp/my", "dir/setup.exe", "/A"}},
      {"\"/p/a.exe\"", {"/p/a.exe"}},
      {"a.exe", {"a.exe"}},
      {"a.exe\t x \t", {"a.exe", "x"}},
      {"a \"b c\" d", {"a", "b c", "d"}},
      {"a \"b\"\"c\" d", {"a", "b\"c", "d"}},
      {"a b\\\\\"c d\" e", {"a", "b\\c d", "e"}},
      {"a b\\\"c", {"a", "b\"c"}},
      {"a C:\\dir\\ x", {"a", "C:\\dir\\", "x"}},
      {"a \"\"", {"a", ""}},
      {"\"unterminated path", {"unterminated path"}},
      {"", {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.parts) << c.line;
}
#endif

}  // namespace

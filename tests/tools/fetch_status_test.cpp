// The progress line of vantreo-fetch: the installer's status texts, chosen as the wizard
// chooses them, and written in UTF-8.
#include "tools/fetch_status.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "wizard/wizard_texts.h"

namespace {

std::string Percent(int value) {
  char text[64];
  std::snprintf(text, sizeof text, WizardText::kPercentFormat, value);
  return text;
}

TEST(FetchStatus, FollowsTheDownload) {
  FetchStatus status;
  EXPECT_EQ(status.Update(0, 14000000, ItemState::Pending, false, 0), WizardText::kInstalling);
  EXPECT_EQ(status.Update(0, 1000, ItemState::Downloading, true, 100), Percent(0));
  EXPECT_EQ(status.Update(420, 1000, ItemState::Downloading, true, 300), Percent(42));
  EXPECT_EQ(status.Update(1000, 1000, ItemState::Downloading, true, 500), Percent(100));
  // The program runs: bytes stand still, and that is no stalled network.
  EXPECT_EQ(status.Update(1000, 1000, ItemState::Busy, true, 20000), WizardText::kConfiguring);
}

TEST(FetchStatus, FallingBytesMeanTheDownloadIsRepeated) {
  FetchStatus status;
  EXPECT_EQ(status.Update(600, 1000, ItemState::Downloading, true, 0), Percent(60));
  EXPECT_EQ(status.Update(100, 1000, ItemState::Pending, true, 200), WizardText::kRedownloading);
  EXPECT_EQ(status.Update(599, 1000, ItemState::Downloading, true, 400), WizardText::kRedownloading);
  EXPECT_EQ(status.Update(600, 1000, ItemState::Downloading, true, 600), Percent(60));
  EXPECT_EQ(status.Update(700, 1000, ItemState::Downloading, true, 800), Percent(70));
}

TEST(FetchStatus, BytesStandingStillForMoreThanFiveSecondsIsAStall) {
  FetchStatus status;
  EXPECT_EQ(status.Update(300, 1000, ItemState::Downloading, true, 1000), Percent(30));
  EXPECT_EQ(status.Update(300, 1000, ItemState::Downloading, true, 6000), Percent(30));
  EXPECT_EQ(status.Update(300, 1000, ItemState::Downloading, true, 6001), WizardText::kNetworkStalled);
  EXPECT_EQ(status.Update(301, 1000, ItemState::Downloading, true, 9000), Percent(30));
  // Before the download has begun, waiting counts too.
  FetchStatus waiting;
  EXPECT_EQ(waiting.Update(0, 0, ItemState::Pending, false, 0), WizardText::kInstalling);
  EXPECT_EQ(waiting.Update(0, 0, ItemState::Pending, false, 5001), WizardText::kNetworkStalled);
}

// The wizard's percentage (wizard/percent.h): an unknown whole reads 0 in the status line and
// "?" in the numbers, and no count overflows.
TEST(FetchStatus, PercentDoesNotOverflow) {
  EXPECT_EQ(PercentOf(0, 0), 0);
  EXPECT_EQ(PercentOf(4000000000u, 4200000000u), 95);
  EXPECT_EQ(PercentOf(14000000, 14000000), 100);
  EXPECT_EQ(PercentOf(0xFFFFFFFFu, 1), INT_MAX);  // far past the whole, still no wrap
  FetchStatus status;
  EXPECT_EQ(status.Update(7, 0, ItemState::Downloading, true, 0), Percent(0));
}

TEST(FetchStatus, ProgressLineIsUtf8) {
  // The status is UTF-8 already and goes out byte for byte.
  EXPECT_EQ(ProgressLine(420, 1000, "正在安装：42%"),
            " 42%  420/1000 bytes  \xE6\xAD\xA3\xE5\x9C\xA8\xE5\xAE\x89\xE8\xA3\x85\xEF\xBC\x9A" "42%");
  EXPECT_EQ(ProgressLine(5, 0, "正在安装..."), "  ?%  5 bytes  正在安装...");
  EXPECT_EQ(ProgressLine(1, 1, "网络异常，"), "100%  1/1 bytes  网络异常，");
  // Past 4 GiB, as the download counts them.
  EXPECT_EQ(ProgressLine(4831838208u, 5368709120u, "x"), " 90%  4831838208/5368709120 bytes  x");
}

}  // namespace

// The monitor's judgement of the task's progress: status line, bar, start button and pauses.
#include "wizard/install_monitor.h"

#include <gtest/gtest.h>

#include "wizard/failure_text.h"
#include "wizard/wizard_texts.h"

namespace {

constexpr uint32_t kSize = 14000000;

ProgressSample Downloading(uint64_t bytes, uint64_t total = kSize) {
  ProgressSample sample;
  sample.bytesDone = bytes;
  sample.bytesTotal = total;
  sample.hasItem = true;
  sample.itemState = ItemState::Downloading;
  return sample;
}

// The setup program runs: every byte is in, the item is busy.
ProgressSample SetupRunning(uint64_t total = kSize) {
  ProgressSample sample = Downloading(total, total);
  sample.itemState = ItemState::Busy;
  sample.downloaded = true;
  return sample;
}

TEST(InstallMonitorMath, ShareIsTakenWithoutOverflow) {
  EXPECT_EQ(ScaleToShare(60000000, 90), 54000000u);  // 5,400,000,000 does not wrap
  EXPECT_EQ(ScaleToShare(0xFFFFFFFFu, 100), 0xFFFFFFFFu);
  EXPECT_EQ(ScaleToShare(kSize, 90), 12600000u);
  EXPECT_EQ(ScaleToShare(99, 90), 89u);  // truncated
}

TEST(InstallMonitorMath, FilesPastFourGibibytesAreCountedWhole) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  InstallMonitor monitor(0);
  const MonitorStep step = monitor.Cycle(Downloading(kGiB * 9 / 2, 5 * kGiB), 100);
  EXPECT_EQ(step.status, StatusKind::Percent);
  EXPECT_EQ(step.percent, 80);  // 90 % of 90 % of the bar, a hair less once truncated
  EXPECT_EQ(step.barDone, kGiB * 9 / 2 * 90 / 100);
  EXPECT_EQ(step.barTotal, 5 * kGiB);
  EXPECT_EQ(BarTargetPixels(step.barDone, step.barTotal, 453), 366u);
  // Past 4 GiB the count still grows: no fall taken for a new start.
  EXPECT_EQ(monitor.Cycle(Downloading(kGiB * 9 / 2 + 1, 5 * kGiB), 200).status,
            StatusKind::Percent);
}

TEST(InstallMonitorMath, PercentAndBarAreTruncated) {
  EXPECT_EQ(PercentOf(12600000, kSize), 90);
  EXPECT_EQ(PercentOf(kSize - 1, kSize), 99);
  EXPECT_EQ(PercentOf(kSize, kSize), 100);
  EXPECT_EQ(PercentOf(5, 0), 0);
  EXPECT_EQ(BarTargetPixels(12600000, kSize, 453), 407u);  // 90 % of the bar
  EXPECT_EQ(BarTargetPixels(kSize, kSize, 453), 453u);
  EXPECT_EQ(BarTargetPixels(1, kSize, 453), 0u);
  EXPECT_EQ(BarTargetPixels(1, 0, 453), 0u);
}

TEST(InstallMonitorText, EveryStatusLine) {
  EXPECT_EQ(StatusText(StatusKind::Installing, 0), WizardText::kInstalling);
  EXPECT_EQ(StatusText(StatusKind::Percent, 37), "正在安装：37%");
  EXPECT_EQ(StatusText(StatusKind::Paused, 37), "已暂停：37%");
  EXPECT_EQ(StatusText(StatusKind::Configuring, 0), "安装完成,正在为您配置游戏...");
  EXPECT_EQ(StatusText(StatusKind::StartingGame, 0), "正在为您启动游戏..");
  EXPECT_EQ(StatusText(StatusKind::Redownloading, 0), "网络数据异常，正在重新下载...");
  EXPECT_EQ(StatusText(StatusKind::NetworkStalled, 0), "网络异常，请检查您的网络连接...");
  EXPECT_EQ(StatusText(StatusKind::Failed, 0), "安装失败，请关闭后重新运行安装程序");
}

TEST(InstallMonitor, SaysInstallingUntilTheFirstByteArrives) {
  InstallMonitor monitor(1000);
  ProgressSample connecting;
  connecting.bytesTotal = kSize;
  MonitorStep step = monitor.Cycle(connecting, 1000);
  EXPECT_EQ(step.status, StatusKind::Installing);
  EXPECT_EQ(step.startButton, StartButtonChange::None);  // nothing to pause yet
  EXPECT_EQ(step.waitMs, 200u);

  // The server told the size: the download can be paused, but there is nothing to count yet.
  step = monitor.Cycle(Downloading(0), 1200);
  EXPECT_EQ(step.status, StatusKind::Installing);
  EXPECT_EQ(step.startButton, StartButtonChange::Enable);

  step = monitor.Cycle(Downloading(140000), 1400);
  EXPECT_EQ(step.status, StatusKind::Percent);
  EXPECT_EQ(step.percent, 0);
  EXPECT_EQ(StatusText(step.status, step.percent), "正在安装：0%");
}

TEST(InstallMonitor, DownloadFillsNinetyPercentOfLineAndBar) {
  InstallMonitor monitor(0);
  MonitorStep step = monitor.Cycle(Downloading(7000000), 200);
  EXPECT_EQ(step.status, StatusKind::Percent);
  EXPECT_EQ(step.percent, 45);
  EXPECT_TRUE(step.advanceBar);
  EXPECT_EQ(step.barDone, 6300000u);
  EXPECT_EQ(step.barTotal, kSize);
  EXPECT_EQ(step.startButton, StartButtonChange::Enable);
  EXPECT_EQ(StatusText(step.status, step.percent), "正在安装：45%");

  step = monitor.Cycle(Downloading(kSize), 400);
  EXPECT_EQ(step.percent, 90);
  EXPECT_EQ(BarTargetPixels(step.barDone, step.barTotal, 453), 407u);
}

TEST(InstallMonitor, LargerServerFileLowersThePercentage) {
  InstallMonitor monitor(0);
  EXPECT_EQ(monitor.Cycle(Downloading(7000000), 200).percent, 45);
  // The task learned a larger size: the same bytes are a smaller share.
  MonitorStep step = monitor.Cycle(Downloading(7000000, 2 * kSize), 400);
  EXPECT_EQ(step.status, StatusKind::Percent);
  EXPECT_EQ(step.percent, 22);
  EXPECT_EQ(step.barTotal, 2 * kSize);
}

TEST(InstallMonitor, StallShowsAfterMoreThanFiveSecondsWithoutNewBytes) {
  InstallMonitor monitor(0);
  monitor.Cycle(Downloading(1000), 10000);  // grew at 10 s
  EXPECT_EQ(monitor.Cycle(Downloading(1000), 15000).status, StatusKind::Percent);  // 5000 ms
  MonitorStep step = monitor.Cycle(Downloading(1000), 15001);
  EXPECT_EQ(step.status, StatusKind::NetworkStalled);
  EXPECT_EQ(step.waitMs, 500u);
  EXPECT_FALSE(step.advanceBar);
  // The next byte brings the percentage back.
  EXPECT_EQ(monitor.Cycle(Downloading(2000), 15600).status, StatusKind::Percent);
}

TEST(InstallMonitor, StallCountsFromTheStartWhenNothingArrives) {
  InstallMonitor monitor(0);
  ProgressSample connecting;
  connecting.bytesTotal = kSize;
  EXPECT_EQ(monitor.Cycle(connecting, 5000).status, StatusKind::Installing);
  EXPECT_EQ(monitor.Cycle(connecting, 5001).status, StatusKind::NetworkStalled);
}

TEST(InstallMonitor, NoStallMessageWhileThePauseLasts) {
  InstallMonitor monitor(0);
  monitor.Cycle(Downloading(3000000), 1000);
  ProgressSample paused = Downloading(3000000);
  paused.paused = true;
  for (uint32_t now = 1200; now <= 30000; now += 200) {
    MonitorStep step = monitor.Cycle(paused, now);
    ASSERT_EQ(step.status, StatusKind::Paused) << "at " << now;
    EXPECT_EQ(step.percent, 19);  // 90 % of 3,000,000 of 14,000,000
    EXPECT_EQ(step.startButton, StartButtonChange::Enable);  // the user can continue
  }
  // Continued: five quiet seconds from here are allowed before the network is blamed.
  EXPECT_EQ(monitor.Cycle(Downloading(3000000), 35000).status, StatusKind::Percent);
  EXPECT_EQ(monitor.Cycle(Downloading(3000000), 35001).status, StatusKind::NetworkStalled);
}

TEST(InstallMonitor, SetupPhaseCreepsToHundredWithoutStallMessage) {
  InstallMonitor monitor(0);
  monitor.Cycle(Downloading(kSize), 100);
  uint32_t now = 100;
  int lastPercent = 90;
  for (int cycle = 0; cycle < 10; ++cycle) {
    now += 1000;
    MonitorStep step = monitor.Cycle(SetupRunning(), now);
    ASSERT_EQ(step.status, StatusKind::Percent) << "cycle " << cycle;
    EXPECT_EQ(step.percent, lastPercent) << "cycle " << cycle;
    EXPECT_EQ(step.startButton, StartButtonChange::Disable);
    EXPECT_EQ(step.waitMs, 1000u);
    EXPECT_TRUE(step.advanceBar);
    ++lastPercent;
  }
  // The share reached 100: the line says the install is complete and the creep stops.
  now += 1000;
  MonitorStep step = monitor.Cycle(SetupRunning(), now);
  EXPECT_EQ(step.status, StatusKind::Configuring);
  EXPECT_EQ(step.percent, 100);
  EXPECT_EQ(monitor.DownloadShare(), 100);
  for (int cycle = 0; cycle < 20; ++cycle) {
    now += 1000;
    EXPECT_EQ(monitor.Cycle(SetupRunning(), now).status, StatusKind::Configuring);
  }
  EXPECT_EQ(monitor.DownloadShare(), 100);
}

TEST(InstallMonitor, BusyWhileStillDownloadingCanStillStall) {
  // A task that marks its item busy before every file is in: the network is still at work, so
  // its silence still counts.
  InstallMonitor monitor(0);
  monitor.Cycle(Downloading(5000000), 1000);
  ProgressSample busy = Downloading(5000000);
  busy.itemState = ItemState::Busy;
  EXPECT_EQ(monitor.Cycle(busy, 6000).startButton, StartButtonChange::Disable);
  EXPECT_EQ(monitor.Cycle(busy, 6001).status, StatusKind::NetworkStalled);
}

TEST(InstallMonitor, FallingCountSaysRedownloadingUntilTheOldHighIsBack) {
  InstallMonitor monitor(0);
  monitor.Cycle(Downloading(8000000), 1000);
  for (uint32_t bytes : {0u, 3000000u, 7999999u}) {
    MonitorStep step = monitor.Cycle(Downloading(bytes), 1200);
    EXPECT_EQ(step.status, StatusKind::Redownloading) << bytes;
    EXPECT_EQ(step.waitMs, 200u);
    EXPECT_FALSE(step.advanceBar);  // the bar holds
  }
  EXPECT_EQ(monitor.Cycle(Downloading(8000000), 1400).status, StatusKind::Percent);
}

TEST(InstallMonitor, GivenUpTaskEndsTheWatchWithTheButtonGreyedOut) {
  InstallMonitor monitor(0);
  EXPECT_FALSE(monitor.Cycle(Downloading(5000000), 1000).end);
  // The worker gave up mid-download, long after the last byte: the failure is said, not the
  // network message, and nothing is left that the button could pause.
  ProgressSample failed = Downloading(5000000);
  failed.failed = true;
  MonitorStep step = monitor.Cycle(failed, 9000);
  EXPECT_EQ(step.status, StatusKind::Failed);
  EXPECT_EQ(step.startButton, StartButtonChange::Disable);
  EXPECT_TRUE(step.end);
  EXPECT_FALSE(step.advanceBar);

  // Also when the count had fallen, or before any byte came.
  InstallMonitor restarted(0);
  restarted.Cycle(Downloading(8000000), 1000);
  failed = Downloading(0);
  failed.failed = true;
  step = restarted.Cycle(failed, 1200);
  EXPECT_EQ(step.status, StatusKind::Failed);
  EXPECT_TRUE(step.end);

  // A downloaded program that failed its check: the manual download is the way on.
  InstallMonitor checked(0);
  ProgressSample refused = Downloading(14000000);
  refused.failed = refused.refused = true;
  step = checked.Cycle(refused, 1000);
  EXPECT_EQ(step.status, StatusKind::Refused);
  EXPECT_EQ(StatusText(step.status, 0), "安装包校验失败，请手动下载完整安装包");
  EXPECT_EQ(step.startButton, StartButtonChange::Disable);
  EXPECT_TRUE(step.end);

  // A full disk and a scanner's block are said as what they are, never as a bad package.
  const struct {
    DownloadErrorKind failure;
    StatusKind status;
    const char* text;
    StartButtonChange startButton;  // after a full disk, "继续" tries again
  } local[] = {
      {DownloadErrorKind::DiskFull, StatusKind::DiskFull, "磁盘空间不足，请清理磁盘后重试",
       StartButtonChange::Enable},
      {DownloadErrorKind::Quarantined, StatusKind::Blocked,
       "安装包被安全软件拦截，请允许后重试或手动下载完整安装包", StartButtonChange::Disable},
  };
  for (const auto& c : local) {
    InstallMonitor watching(0);
    ProgressSample given = Downloading(14000000);
    given.failed = true;
    given.failure = c.failure;
    step = watching.Cycle(given, 1000);
    EXPECT_EQ(step.status, c.status);
    EXPECT_EQ(StatusText(step.status, 0), c.text);
    EXPECT_EQ(step.startButton, c.startButton);
    EXPECT_TRUE(step.end);
  }
}

TEST(InstallMonitor, LocalFailuresSayWhatTheUserCanDo) {
  const struct {
    DownloadError error;
    const char* text;
  } cases[] = {
      {DiskFullError(14680064, 5242880), "磁盘空间不足，请清理磁盘后重试（需要 14.0 MB，可用 5.0 MB）"},
      {DiskFullError(0, 0), "磁盘空间不足，请清理磁盘后重试"},  // the sizes are not known
      // Beyond 4 GiB the sizes are said as they are.
      {DiskFullError(5ull << 30, 1ull << 30), "磁盘空间不足，请清理磁盘后重试（需要 5120.0 MB，可用 1024.0 MB）"},
      {MakeError(DownloadErrorKind::Quarantined, "the download file is gone"),
       "安装包被安全软件拦截，请允许后重试或手动下载完整安装包"},
      {MakeError(DownloadErrorKind::TimedOut, "no answer"), ""},  // keeps its own message
  };
  for (const auto& c : cases) EXPECT_EQ(LocalFailureText(c.error), c.text);
}

TEST(InstallMonitor, OrdinaryStepsDoNotEndTheWatch) {
  InstallMonitor monitor(0);
  EXPECT_FALSE(monitor.Cycle(Downloading(0), 100).end);
  EXPECT_FALSE(monitor.Cycle(Downloading(1000), 200).end);
  EXPECT_FALSE(monitor.Cycle(Downloading(500), 400).end);    // redownloading
  EXPECT_FALSE(monitor.Cycle(Downloading(1000), 9000).end);  // stalled
  EXPECT_FALSE(monitor.Cycle(SetupRunning(), 9200).end);
}

TEST(InstallMonitor, TickCountWrapsHarmlessly) {
  InstallMonitor monitor(0xFFFFF000u);
  monitor.Cycle(Downloading(100), 0xFFFFF000u);
  EXPECT_EQ(monitor.Cycle(Downloading(100), 0x00000100u).status, StatusKind::Percent);  // 4.4 s
  EXPECT_EQ(monitor.Cycle(Downloading(100), 0x00000400u).status, StatusKind::NetworkStalled);
}

}  // namespace

#include "wizard/install_monitor.h"

#include <cstdio>

#include "wizard/wizard_texts.h"

std::string StatusText(StatusKind kind, int percent) {
  switch (kind) {
    case StatusKind::Installing:
      return WizardText::kInstalling;
    case StatusKind::Percent:
    case StatusKind::Paused: {
      char line[64];
      std::snprintf(line, sizeof(line),
                    kind == StatusKind::Paused ? WizardText::kPausedFormat
                                               : WizardText::kPercentFormat,
                    percent);
      return line;
    }
    case StatusKind::Configuring:
      return WizardText::kConfiguring;
    case StatusKind::StartingGame:
      return WizardText::kStartingGame;
    case StatusKind::Redownloading:
      return WizardText::kRedownloading;
    case StatusKind::NetworkStalled:
      return WizardText::kNetworkStalled;
    case StatusKind::Failed:
      return WizardText::kInstallFailed;
    case StatusKind::Refused:
      return WizardText::kPackageRefused;
    case StatusKind::DiskFull:
      return WizardText::kDiskFull;
    case StatusKind::Blocked:
      return WizardText::kBlockedBySecurity;
  }
  return std::string();
}

uint64_t ScaleToShare(uint64_t bytesDone, int share) {
  return bytesDone * static_cast<uint64_t>(share) / 100u;
}

uint32_t BarTargetPixels(uint64_t done, uint64_t total, uint32_t fullWidth) {
  if (total == 0) return 0;
  // Exact while done * fullWidth stays below 2^64: files of petabytes.
  return static_cast<uint32_t>(done * fullWidth / total);
}

MonitorStep InstallMonitor::Cycle(const ProgressSample& sample, uint32_t nowMs) {
  MonitorStep step;
  // The worker has ended for good: no byte will come and pausing would do nothing. Said once,
  // instead of a network message that would never end.
  if (sample.failed) {
    // A refused program points the user at the manual download, which stays open; a full disk
    // and a scanner's block say what the user can do.
    step.status = sample.refused ? StatusKind::Refused : StatusKind::Failed;
    if (sample.failure == DownloadErrorKind::DiskFull) step.status = StatusKind::DiskFull;
    if (sample.failure == DownloadErrorKind::Quarantined) step.status = StatusKind::Blocked;
    // Once the user has freed space, "继续" goes on from the bytes written: the button stays.
    step.startButton = step.status == StatusKind::DiskFull ? StartButtonChange::Enable
                                                           : StartButtonChange::Disable;
    step.end = true;
    return step;
  }

  const uint64_t bytes = sample.bytesDone;
  step.barDone = ScaleToShare(bytes, downloadShare_);
  step.barTotal = sample.bytesTotal;
  step.percent = PercentOf(step.barDone, sample.bytesTotal);

  // The download started over: say so until it is back where it was. The bar holds.
  if (bytes < lastBytesDone_) {
    step.status = StatusKind::Redownloading;
    step.waitMs = kPollMs;
    return step;
  }

  // No byte is expected while the user has paused, nor once every file is written (the setup
  // program runs): silence then is no network fault, and the five seconds start afresh after.
  if (sample.paused || sample.downloaded) lastProgressTick_ = nowMs;
  if (bytes == lastBytesDone_ && nowMs - lastProgressTick_ > kStallAfterMs) {
    step.status = StatusKind::NetworkStalled;
    step.waitMs = kStalledWaitMs;
    return step;
  }

  step.waitMs = kPollMs;
  if (sample.hasItem) {
    if (sample.itemState == ItemState::Downloading) {
      step.startButton = StartButtonChange::Enable;
    } else if (sample.itemState == ItemState::Busy) {
      // The setup program runs: nothing to pause; the bar creeps one point a cycle.
      step.startButton = StartButtonChange::Disable;
      if (step.percent < 100) ++downloadShare_;
      step.waitMs += kSetupWaitMs;
    }
  }
  if (bytes == 0) {
    // Connecting, or waiting for the first byte: there is nothing to count yet.
    step.status = StatusKind::Installing;
  } else {
    step.status = step.percent < 100 ? StatusKind::Percent : StatusKind::Configuring;
  }
  // Paused, the line says so, with the share reached, until the user continues.
  if (sample.paused && step.status != StatusKind::Configuring) step.status = StatusKind::Paused;
  step.advanceBar = step.percent <= 100;
  if (bytes > lastBytesDone_) {
    lastProgressTick_ = nowMs;
    lastBytesDone_ = bytes;
  }
  return step;
}

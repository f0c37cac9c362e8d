// What the wizard's monitor makes of one look at the download task: the status line, how far
// the progress bar may grow, what the start button should be, and how long to wait before the
// next look. It keeps the monitor's own memory (the highest byte count seen, when it last grew,
// the share of the bar given to the download) and touches no window and no task.
#pragma once

#include <cstdint>
#include <string>

#include "tasks/download_task.h"
#include "wizard/percent.h"

enum class StatusKind : int {
  Installing,      // the install has begun; no byte has arrived yet
  Percent,         // "installing: N %"
  Paused,          // "paused: N %": the user paused the download
  Configuring,     // 100 % reached; also the first step of the finish
  StartingGame,    // second step of the finish
  Redownloading,   // the byte count fell: the download starts over
  NetworkStalled,  // no new byte for more than five seconds
  Failed,          // the task gave up: nothing more will happen
  Refused,         // the downloaded program failed its check: it was not started
  DiskFull,        // the task gave up: too little room on the download folder's volume
  Blocked,         // the task gave up: security software took the downloaded file away
};

// The status line for `kind`; `percent` is put into the percentage line.
std::string StatusText(StatusKind kind, int percent);

// One look at the task.
struct ProgressSample {
  uint64_t bytesDone = 0;
  uint64_t bytesTotal = 0;
  bool hasItem = false;  // the task names the item it works on
  ItemState itemState = ItemState::Pending;
  bool downloaded = false;  // every file is written; only the setup program is left to run
  bool paused = false;      // the user paused the download
  bool failed = false;      // the task's worker ended giving up on an item
  bool refused = false;     // the downloaded program was refused by its check
  DownloadErrorKind failure = DownloadErrorKind::None;  // why the task gave up
};

enum class StartButtonChange { None, Enable, Disable };

struct MonitorStep {
  StatusKind status = StatusKind::Installing;
  int percent = 0;
  // The bar may grow to barDone / barTotal of its length (it never shrinks).
  bool advanceBar = false;
  uint64_t barDone = 0;
  uint64_t barTotal = 0;
  StartButtonChange startButton = StartButtonChange::None;
  uint32_t waitMs = 0;
  bool end = false;  // the monitor has nothing more to watch: it stops after this step
};

class InstallMonitor {
 public:
  static constexpr int kDownloadShare = 90;          // percent of the bar the download fills
  static constexpr uint32_t kPollMs = 200;           // between two looks
  static constexpr uint32_t kStalledWaitMs = 500;    // after showing the network message
  static constexpr uint32_t kSetupWaitMs = 800;      // extra, while the setup program runs
  static constexpr uint32_t kStallAfterMs = 5000;    // no new byte for longer: network message

  explicit InstallMonitor(uint32_t nowMs) : lastProgressTick_(nowMs) {}

  // Judges one look taken at `nowMs` (GetTickCount; wrap-around is harmless).
  MonitorStep Cycle(const ProgressSample& sample, uint32_t nowMs);

  int DownloadShare() const { return downloadShare_; }

 private:
  int downloadShare_ = kDownloadShare;
  uint64_t lastBytesDone_ = 0;
  uint32_t lastProgressTick_;
};

// `bytesDone` scaled to `share` percent, truncated.
uint64_t ScaleToShare(uint64_t bytesDone, int share);
// Pixels of a bar `fullWidth` long that done / total fills, truncated; 0 when total is 0.
uint32_t BarTargetPixels(uint64_t done, uint64_t total, uint32_t fullWidth);

// What vantreo-fetch shows of a running task: a progress line with the wizard's own status
// texts (wizard/wizard_texts.h), chosen from the progress as the wizard chooses them.
#pragma once

#include <cstdint>
#include <string>

#include "tasks/download_task.h"
#include "wizard/percent.h"

// Bytes standing still this long (and a little more) count as a stalled network.
constexpr uint64_t kStallMs = 5000;

class FetchStatus {
 public:
  // The status text for the progress seen at `nowMs` (a steadily rising clock), in UTF-8.
  // Call it for each look at the progress, in time order.
  std::string Update(uint64_t bytesDone, uint64_t bytesTotal, ItemState currentState,
                     bool hasCurrentItem, uint64_t nowMs);

 private:
  bool watching_ = false;
  uint64_t highest_ = 0;
  uint64_t lastGrowthMs_ = 0;
};

// "42%  5880000/14000000 bytes  <status>" with the status in UTF-8.
std::string ProgressLine(uint64_t bytesDone, uint64_t bytesTotal, const std::string& status);

#include "tools/fetch_status.h"

#include <cstdio>

#include "wizard/wizard_texts.h"

std::string FetchStatus::Update(uint64_t bytesDone, uint64_t bytesTotal, ItemState currentState,
                                bool hasCurrentItem, uint64_t nowMs) {
  if (!watching_) {
    watching_ = true;
    lastGrowthMs_ = nowMs;
  }
  if (hasCurrentItem && currentState == ItemState::Busy) return WizardText::kConfiguring;
  // Fewer bytes than before: the download is being repeated.
  if (bytesDone < highest_) return WizardText::kRedownloading;
  if (bytesDone > highest_) {
    highest_ = bytesDone;
    lastGrowthMs_ = nowMs;
  } else if (nowMs - lastGrowthMs_ > kStallMs) {
    return WizardText::kNetworkStalled;
  }
  if (!hasCurrentItem) return WizardText::kInstalling;
  char text[64];
  std::snprintf(text, sizeof text, WizardText::kPercentFormat, PercentOf(bytesDone, bytesTotal));
  return text;
}

std::string ProgressLine(uint64_t bytesDone, uint64_t bytesTotal, const std::string& status) {
  const auto done = static_cast<unsigned long long>(bytesDone);
  const auto total = static_cast<unsigned long long>(bytesTotal);
  char numbers[80];
  if (bytesTotal == 0) {  // the whole is not known
    std::snprintf(numbers, sizeof numbers, "  ?%%  %llu bytes  ", done);
  } else {
    std::snprintf(numbers, sizeof numbers, "%3d%%  %llu/%llu bytes  ",
                  PercentOf(bytesDone, bytesTotal), done, total);
  }
  return numbers + status;
}

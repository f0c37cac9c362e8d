#include "tools/fetch_status.h"

#include <cstdio>

#include "tasks/url_utils.h"

const char kInstallingText[] = "正在安装...";
const char kInstallingPercentText[] = "正在安装：%d%%";
const char kConfiguringText[] = "安装完成,正在为您配置游戏...";
const char kDataErrorText[] = "网络数据异常，正在重新下载...";
const char kNetworkStallText[] = "网络异常，请检查网您的网络连接...";

std::string FetchStatus::Update(uint32_t bytesDone, uint32_t bytesTotal, ItemState currentState,
                                bool hasCurrentItem, uint64_t nowMs) {
  if (!watching_) {
    watching_ = true;
    lastGrowthMs_ = nowMs;
  }
  if (hasCurrentItem && currentState == ItemState::Busy) return kConfiguringText;
  // Fewer bytes than before: the download is being repeated.
  if (bytesDone < highest_) return kDataErrorText;
  if (bytesDone > highest_) {
    highest_ = bytesDone;
    lastGrowthMs_ = nowMs;
  } else if (nowMs - lastGrowthMs_ > kStallMs) {
    return kNetworkStallText;
  }
  if (!hasCurrentItem) return kInstallingText;
  char text[64];
  int percent = PercentOf(bytesDone, bytesTotal);
  std::snprintf(text, sizeof text, kInstallingPercentText, percent < 0 ? 0 : percent);
  return text;
}

int PercentOf(uint32_t done, uint32_t total) {
  if (total == 0) return -1;
  return static_cast<int>(static_cast<uint64_t>(done) * 100 / total);
}

std::string ProgressLine(uint32_t bytesDone, uint32_t bytesTotal, const std::string& status) {
  char numbers[80];
  int percent = PercentOf(bytesDone, bytesTotal);
  if (percent < 0) {
    std::snprintf(numbers, sizeof numbers, "  ?%%  %u bytes  ", bytesDone);
  } else {
    std::snprintf(numbers, sizeof numbers, "%3d%%  %u/%u bytes  ", percent, bytesDone,
                  bytesTotal);
  }
  return numbers + AnsiToUtf8(status);
}

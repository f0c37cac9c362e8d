// What the wizard says to the user (UTF-8, as every text of the program).
#pragma once

namespace WizardText {

constexpr const char* kTitle = "Lumeo棋牌 - 安装向导";  // shows on the taskbar button
constexpr const char* kChooseFolder = "选择路径";
constexpr const char* kQuitQuestion = "安装尚未完成，确定要退出吗？";

// Tooltips.
constexpr const char* kTipMinimize = "最小化";
constexpr const char* kTipClose = "关闭";
constexpr const char* kTipStart = "开始安装";
constexpr const char* kTipPause = "暂停";
constexpr const char* kTipContinue = "继续";
constexpr const char* kTipAgree = "同意";
constexpr const char* kTipBrowse = "浏览";

// The names screen readers announce for the skinned buttons without a tooltip of the same
// words: what their faces show. The others are named by their tooltips.
constexpr const char* kNameBrowse = "更改路径";
constexpr const char* kNameAgree = "我已阅读并同意使用协议";

// The status line.
constexpr const char* kInstalling = "正在安装...";
constexpr const char* kPercentFormat = "正在安装：%d%%";
constexpr const char* kPausedFormat = "已暂停：%d%%";
constexpr const char* kConfiguring = "安装完成,正在为您配置游戏...";
constexpr const char* kStartingGame = "正在为您启动游戏..";
constexpr const char* kRedownloading = "网络数据异常，正在重新下载...";
constexpr const char* kNetworkStalled = "网络异常，请检查您的网络连接...";
constexpr const char* kInstallFailed = "安装失败，请关闭后重新运行安装程序";
constexpr const char* kPackageRefused = "安装包校验失败，请手动下载完整安装包";
constexpr const char* kDiskFull = "磁盘空间不足，请清理磁盘后重试";
constexpr const char* kDiskSizesFormat = "（需要 %.1f MB，可用 %.1f MB）";
constexpr const char* kBlockedBySecurity = "安装包被安全软件拦截，请允许后重试或手动下载完整安装包";

}  // namespace WizardText

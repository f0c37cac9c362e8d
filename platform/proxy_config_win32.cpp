#include "platform/proxy_config.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/proxy_rules.h"
#include "platform/system_library_win32.h"
#include "platform/text_win32.h"

namespace platform {

namespace {

const wchar_t kWinHttp[] = L"winhttp.dll";
// Automatic detection asks DHCP and DNS for a server that may not exist: the longest it may
// take before the download goes on without an answer. A script named in the settings exists
// and may come from a slower server.
constexpr int kDetectWaitMs = 1000;
constexpr int kScriptWaitMs = 5000;

using GetIEProxyConfigFn = BOOL(WINAPI*)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*);
using OpenFn = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
using SetTimeoutsFn = BOOL(WINAPI*)(HINTERNET, int, int, int, int);
using GetProxyForUrlFn = BOOL(WINAPI*)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                       WINHTTP_PROXY_INFO*);
using CloseHandleFn = BOOL(WINAPI*)(HINTERNET);

// A string WinHTTP allocated for the caller, as narrow text, freed.
std::string TakeString(LPWSTR text) {
  if (text == nullptr) return std::string();
  std::string narrow = WideToUtf8(text);
  GlobalFree(text);
  return narrow;
}

// The one owner of a WinHTTP session handle.
class Session {
 public:
  Session() {
    auto open = SystemFunction<OpenFn>(kWinHttp, "WinHttpOpen");
    close_ = SystemFunction<CloseHandleFn>(kWinHttp, "WinHttpCloseHandle");
    if (open != nullptr && close_ != nullptr)
      handle_ = open(L"VantreoInstaller", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                     WINHTTP_NO_PROXY_BYPASS, 0);
  }
  ~Session() {
    if (handle_ != nullptr) close_(handle_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  HINTERNET Handle() const { return handle_; }

 private:
  CloseHandleFn close_ = nullptr;
  HINTERNET handle_ = nullptr;
};

// One question to WinHTTP and its answer, shared by the asking thread and the one that waits.
struct ProxyQuestion {
  std::wstring url;
  std::wstring scriptUrl;
  int waitMs = kDetectWaitMs;
  bool done = false;
  bool answered = false;
  std::string list;
  DWORD error = 0;
  std::mutex mutex;
  std::condition_variable finished;
};

void Ask(const std::shared_ptr<ProxyQuestion>& question) {
  auto getProxy = SystemFunction<GetProxyForUrlFn>(kWinHttp, "WinHttpGetProxyForUrl");
  auto setTimeouts = SystemFunction<SetTimeoutsFn>(kWinHttp, "WinHttpSetTimeouts");
  Session session;
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (!question->scriptUrl.empty()) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = question->scriptUrl.c_str();
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info = {};
  bool answered = false;
  DWORD error = ERROR_PROC_NOT_FOUND;
  std::string list;
  if (getProxy != nullptr && session.Handle() != nullptr) {
    if (setTimeouts != nullptr)
      setTimeouts(session.Handle(), question->waitMs, question->waitMs, question->waitMs,
                  question->waitMs);
    answered = getProxy(session.Handle(), question->url.c_str(), &options, &info) != FALSE;
    error = answered ? 0 : GetLastError();
    const std::string proxies = TakeString(info.lpszProxy);
    TakeString(info.lpszProxyBypass);
    list = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? proxies : "DIRECT";
  }
  std::lock_guard<std::mutex> lock(question->mutex);
  question->done = true;
  question->answered = answered;
  question->error = error;
  question->list = list;
  question->finished.notify_all();
}

}  // namespace

ProxySettings ReadProxySettings() {
  ProxySettings settings;
  settings.windowsBypass = true;
  settings.source = "Internet Options";
  auto read = SystemFunction<GetIEProxyConfigFn>(kWinHttp, "WinHttpGetIEProxyConfigForCurrentUser");
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (read == nullptr || !read(&config)) {
    settings.source += read == nullptr ? " (WinHTTP cannot be loaded: none used)"
                                       : " (none set: a direct connection)";
    return settings;
  }
  SplitPerScheme(TakeString(config.lpszProxy), settings.httpProxy, settings.httpsProxy);
  settings.bypass = TakeString(config.lpszProxyBypass);
  settings.scriptUrl = TakeString(config.lpszAutoConfigUrl);
  settings.autoDetect = config.fAutoDetect != FALSE;
  return settings;
}

bool AutomaticProxyFor(const ProxySettings& settings, const std::string& url, std::string& list,
                       std::string& why) {
  if (settings.scriptUrl.empty() && !settings.autoDetect) {
    why = "no automatic configuration";
    return false;
  }
  auto question = std::make_shared<ProxyQuestion>();
  question->url = Utf8ToWide(url);
  question->scriptUrl = Utf8ToWide(settings.scriptUrl);
  question->waitMs = settings.scriptUrl.empty() ? kDetectWaitMs : kScriptWaitMs;
  try {
    // The asking thread owns its share of the question: it may finish after this wait gave up.
    std::thread(Ask, question).detach();
  } catch (const std::system_error&) {
    why = "no thread to ask WinHTTP";
    return false;
  }
  std::unique_lock<std::mutex> lock(question->mutex);
  const bool finished = question->finished.wait_for(
      lock, std::chrono::milliseconds(question->waitMs), [&] { return question->done; });
  if (!finished) {
    why = "no answer within " + std::to_string(question->waitMs / 1000) + " s";
    return false;
  }
  if (!question->answered) {
    why = "WinHttpGetProxyForUrl failed with error " + std::to_string(question->error);
    return false;
  }
  list = question->list;
  return true;
}

}  // namespace platform

// The user's proxy settings as the system holds them: on Windows those of Internet Options
// (read through WinHTTP, loaded from System32), elsewhere curl's environment variables
// (http_proxy, https_proxy, no_proxy). Read once per download; their meaning for one URL is
// worked out by the download engine.
#pragma once

#include <string>

namespace platform {

struct ProxySettings {
  // The proxy of http and of https URLs: "host:port" or "http://[user:pass@]host[:port]";
  // empty: none.
  std::string httpProxy;
  std::string httpsProxy;
  // Hosts that are reached directly: Internet Options' list (";"-separated, "*" wildcards,
  // "<local>") when `windowsBypass`, else curl's no_proxy list (","-separated domains, "*").
  std::string bypass;
  bool windowsBypass = false;
  // An automatic configuration script, and automatic detection (WPAD): each asked per URL.
  std::string scriptUrl;
  bool autoDetect = false;
  // Where these came from, for the log.
  std::string source;
};

ProxySettings ReadProxySettings();

// The proxies the script (or, with autoDetect, the detected one) names for `url`, in its order:
// "host:port" entries separated by ";" or blanks, "DIRECT" for a direct connection. False,
// with the reason in `why`, when there is no answer (no script found, none could be run).
// Automatic detection with no server to announce a script gives up within a second; a script
// named in the settings is waited for at most 5 seconds.
bool AutomaticProxyFor(const ProxySettings& settings, const std::string& url, std::string& list,
                       std::string& why);

}  // namespace platform

#include "download/route.h"

#include <climits>
#include <utility>

#include "download/http_header.h"
#include "platform/proxy_rules.h"

namespace {

constexpr size_t kNoWayYet = SIZE_MAX;

std::mutex overrideMutex;
std::unique_ptr<platform::ProxySettings> overrideSettings;

platform::ProxySettings CurrentSettings() {
  std::lock_guard<std::mutex> lock(overrideMutex);
  return overrideSettings ? *overrideSettings : platform::ReadProxySettings();
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string SchemeAndHost(const ServerAddress& server) {
  return (server.secure ? "https://" : "http://") + server.HostField();
}

std::string Names(const std::vector<ProxyServer>& proxies) {
  std::string names;
  for (const ProxyServer& proxy : proxies) names += (names.empty() ? "" : ", ") + proxy.Name();
  return names;
}

// The proxies of a list's entries up to its first DIRECT; `why` hears of entries left out.
std::vector<ProxyServer> ParseEntries(const std::vector<std::string>& entries, std::string& why) {
  std::vector<ProxyServer> proxies;
  for (const std::string& entry : entries) {
    if (entry == "DIRECT") break;
    ProxyServer proxy;
    if (ParseProxy(entry, proxy)) {
      proxies.push_back(proxy);
    } else {
      why += "; \"" + entry + "\" is no proxy address";
    }
  }
  return proxies;
}

}  // namespace

std::string ProxyServer::AuthorizationField() const {
  return credentials.empty() ? std::string()
                             : "Proxy-Authorization: Basic " + Base64(credentials) + "\r\n";
}

bool ParseProxy(const std::string& text, ProxyServer& proxy) {
  std::string rest = text;
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    if (!SameNoCase(rest.substr(0, scheme), "http")) return false;
    rest.erase(0, scheme + 3);
  }
  const size_t slash = rest.find('/');
  if (slash != std::string::npos) rest.erase(slash);
  proxy = ProxyServer();
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    proxy.credentials = PercentDecoded(rest.substr(0, at));
    rest.erase(0, at + 1);
  }
  return SplitHostPort(rest, proxy.host, proxy.port) && !proxy.host.empty() && proxy.port != 0;
}

ProxyPlan PlanProxies(const platform::ProxySettings& settings, const ServerAddress& server) {
  ProxyPlan plan;
  const std::string url = SchemeAndHost(server) + "/";
  std::string automatic;
  if (!settings.scriptUrl.empty() || settings.autoDetect) {
    std::string list;
    std::string why;
    const char* how = settings.scriptUrl.empty() ? "automatic detection" : "the configuration script";
    if (platform::AutomaticProxyFor(settings, url, list, why)) {
      plan.why = std::string(how) + " answered \"" + list + "\"";
      plan.proxies = ParseEntries(platform::SplitProxyList(list), plan.why);
      return plan;
    }
    automatic = std::string(how) + " gave no answer (" + why + "); ";
  }
  const std::string& fixed = server.secure ? settings.httpsProxy : settings.httpProxy;
  if (fixed.empty()) {
    plan.why = automatic + "no proxy for " + (server.secure ? "https" : "http");
  } else if (platform::BypassMatches(settings.bypass, settings.windowsBypass, server.host)) {
    plan.why = automatic + server.host + " is on the bypass list \"" + settings.bypass + "\"";
  } else {
    plan.why = automatic + "the proxy for " + (server.secure ? "https" : "http");
    plan.proxies = ParseEntries(platform::SplitProxyList(fixed), plan.why);
  }
  return plan;
}

DownloadError ProxyError(int status, const std::string& proxyName) {
  std::string what;
  if (status == 407) {
    what = "asks for a sign-in";
  } else if (status == 403) {
    what = "refuses the request";
  } else if (status >= 500) {
    what = "cannot reach the server";
  } else {
    what = "refused the request";
  }
  DownloadError error = MakeError(DownloadErrorKind::Proxy, "the proxy " + proxyName + " " + what +
                                                                " (status " + std::to_string(status) + ")");
  error.status = status;
  return error;
}

void OverrideProxySettings(const platform::ProxySettings& settings) {
  std::lock_guard<std::mutex> lock(overrideMutex);
  overrideSettings.reset(new platform::ProxySettings(settings));
}

Route::Route(ServerAddress server, ProxyPlan plan, ConnectLog log)
    : server_(std::move(server)),
      proxies_(std::move(plan.proxies)),
      log_(std::move(log)),
      serverAddresses_(server_.host, server_.port),
      kept_(kNoWayYet) {
  for (const ProxyServer& proxy : proxies_)
    proxyAddresses_.emplace_back(new HostAddresses(proxy.host, proxy.port));
  Note("route to " + SchemeAndHost(server_) + ": " +
       (proxies_.empty() ? "direct" : "proxies " + Names(proxies_) + ", then direct") + " (" +
       plan.why + ")");
}

void Route::Note(const std::string& line) const {
  if (log_) log_(line);
}

DownloadError Route::Open(const std::string& pinnedRoots, const StopTest& stopped,
                          Connection& connection) {
  const size_t ways = proxies_.size() + 1;
  const size_t last = kept_.load();
  const size_t first = last == kNoWayYet ? 0 : last;
  DownloadError error;
  std::string silent;
  for (size_t k = 0; k < ways; ++k) {
    // The way that worked last, then the others in their order.
    const size_t way = k == 0 ? first : (k - 1 < first ? k - 1 : k);
    error = OpenWay(way, pinnedRoots, stopped, connection);
    const bool proxy = way < proxies_.size();
    if (!error.Failed()) {
      if (way != last) {
        kept_.store(way);
        Note("route to " + SchemeAndHost(server_) + " kept: " +
             (proxy ? "proxy " + proxies_[way].Name() : std::string("direct")) +
             (silent.empty() ? "" : " (" + silent + ")"));
      }
      return error;
    }
    // A proxy that answers decides; one that does not is passed over, as a browser does.
    const bool unanswered = error.kind == DownloadErrorKind::Connect ||
                            error.kind == DownloadErrorKind::Closed ||
                            error.kind == DownloadErrorKind::TimedOut;
    if (!proxy || !unanswered) return error;
    Note("proxy " + proxies_[way].Name() + " does not answer: " + error.reason);
    silent += (silent.empty() ? "" : ", ") + proxies_[way].Name() + " did not answer";
  }
  return error;
}

platform::Socket Route::Connect(HostAddresses& addresses, const StopTest& stopped,
                                DownloadError& error) {
  error = addresses.Resolve();
  if (error.Failed()) return platform::Socket();
  platform::NetAddress winner;
  const std::string host = addresses.Host();
  platform::Socket socket = ConnectFirst(
      addresses.TryOrder(), addresses.Port(), stopped,
      [this, &host](const std::string& line) { Note("connect " + host + ": " + line); }, winner,
      error);
  if (socket.IsValid()) addresses.Connected(winner);
  return socket;
}

DownloadError Route::OpenWay(size_t way, const std::string& pinnedRoots, const StopTest& stopped,
                             Connection& connection) {
  DownloadError error;
  const bool direct = way == proxies_.size();
  platform::Socket socket = Connect(direct ? serverAddresses_ : *proxyAddresses_[way], stopped, error);
  if (error.kind == DownloadErrorKind::Stopped) return error;
  if (!socket.IsValid()) {
    error.reason = (direct ? "no connection to " + server_.host + " on port " +
                                 std::to_string(server_.port)
                           : "no connection to the proxy " + proxies_[way].Name()) +
                   ": " + error.reason;
    return error;
  }
  Connection plain(std::move(socket));
  if (!direct) {
    const ProxyServer& proxy = proxies_[way];
    if (!server_.secure) {
      // Plain http goes to the proxy as an absolute-form request: no tunnel.
      connection = std::move(plain);
      connection.SetProxy(proxy.Name(), proxy.AuthorizationField());
      return DownloadError();
    }
    error = OpenTunnel(plain, proxy, server_.host + ":" + std::to_string(server_.port), stopped);
    if (error.Failed()) return error;
  }
  if (!server_.secure) {
    connection = std::move(plain);
    return DownloadError();
  }
  error = connection.StartTls(plain.ReleaseSocket(), platform::BareHost(server_.host), pinnedRoots,
                              stopped);
  if (!direct) connection.SetProxy(proxies_[way].Name(), std::string());
  return error;
}

void RouteBook::Begin(ConnectLog log) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = CurrentSettings();
  begun_ = true;
  log_ = std::move(log);
  routes_.clear();
  if (!log_) return;
  log_("proxy settings from " + settings_.source + ": http \"" + settings_.httpProxy +
       "\", https \"" + settings_.httpsProxy + "\", bypass \"" + settings_.bypass +
       "\", script \"" + settings_.scriptUrl + "\", automatic detection " +
       (settings_.autoDetect ? "on" : "off"));
}

std::shared_ptr<Route> RouteBook::RouteTo(const ServerAddress& server) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!begun_) {
    settings_ = CurrentSettings();
    begun_ = true;
  }
  for (const std::shared_ptr<Route>& route : routes_) {
    const ServerAddress& known = route->Server();
    if (known.host == server.host && known.port == server.port && known.secure == server.secure)
      return route;
  }
  routes_.push_back(std::make_shared<Route>(server, PlanProxies(settings_, server), log_));
  return routes_.back();
}

DownloadError RouteBook::Open(const ServerAddress& server, const std::string& pinnedRoots,
                              const StopTest& stopped, Connection& connection) {
  return RouteTo(server)->Open(pinnedRoots, stopped, connection);
}

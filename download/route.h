// How a download's connections reach its server: directly, through a proxy that takes plain
// http requests in absolute form, or through a proxy's CONNECT tunnel for https. The proxy
// settings are read once per download; the route that worked is kept for its other
// connections (segments, splits, retries), which fall back the same way when it stops working.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/connection.h"
#include "download/download_error.h"
#include "download/socket_layer.h"
#include "platform/proxy_config.h"

// The port of a proxy whose address names none.
constexpr int kDefaultProxyPort = 80;

// One proxy: where it listens, and the Basic credentials ("user:password") its URL gave.
struct ProxyServer {
  std::string host;
  int port = kDefaultProxyPort;
  std::string credentials;

  // "host:port", as the log names it.
  std::string Name() const { return host + ":" + std::to_string(port); }
  // The Proxy-Authorization field (with its CR LF) for the credentials; empty without.
  std::string AuthorizationField() const;
};

// "host:port", "host", "[v6]:port" or "http://[user:password@]host[:port][/]" (user and
// password %-decoded). False for another scheme, no host or a bad port.
bool ParseProxy(const std::string& text, ProxyServer& proxy);

// The proxies a server's connections try, in order (a direct connection comes after them),
// and what the log says of the choice.
struct ProxyPlan {
  std::vector<ProxyServer> proxies;
  std::string why;
};
ProxyPlan PlanProxies(const platform::ProxySettings& settings, const ServerAddress& server);

// Replaces the system's proxy settings for every later download of the process (a console
// tool's --proxy and --noproxy). Call before the first download starts.
void OverrideProxySettings(const platform::ProxySettings& settings);

// A proxy's refusal (407: it asks for a sign-in; 403: it forbids the request; 502, 504: it
// found no way to the server, as any 5xx) as a Proxy error naming the proxy.
DownloadError ProxyError(int status, const std::string& proxyName);

// Opens a CONNECT tunnel to `target` ("host:port") over a connection to `proxy`. A Proxy error
// (with the proxy's status) when the proxy refuses; Closed or TimedOut when it does not answer.
DownloadError OpenTunnel(Connection& connection, const ProxyServer& proxy,
                         const std::string& target, const StopTest& stopped);

// The ways to one server, tried in order: the proxies, then directly; starts with the one that
// worked last. Shared by a download's threads.
class Route {
 public:
  Route(ServerAddress server, ProxyPlan plan, ConnectLog log);

  // A connection ready for a request to the server (TLS to the server's name when secure).
  DownloadError Open(const std::string& pinnedRoots, const StopTest& stopped,
                     Connection& connection);
  const ServerAddress& Server() const { return server_; }

 private:
  // One way: index into proxies_, or proxies_.size() for a direct connection.
  DownloadError OpenWay(size_t way, const std::string& pinnedRoots, const StopTest& stopped,
                        Connection& connection);
  platform::Socket Connect(HostAddresses& addresses, const StopTest& stopped,
                           DownloadError& error);
  void Note(const std::string& line) const;

  const ServerAddress server_;
  const std::vector<ProxyServer> proxies_;
  const ConnectLog log_;
  // The addresses of the server and of each proxy, resolved on first use.
  HostAddresses serverAddresses_;
  std::vector<std::unique_ptr<HostAddresses>> proxyAddresses_;
  std::atomic<size_t> kept_{0};
};

// A download's routes: one per server it talks to (a redirect may name another), made when
// first needed from the proxy settings read at Begin.
class RouteBook {
 public:
  // Reads the proxy settings (the override, else the system's) and forgets earlier routes.
  void Begin(ConnectLog log);
  // A connection to `server` along its route.
  DownloadError Open(const ServerAddress& server, const std::string& pinnedRoots,
                     const StopTest& stopped, Connection& connection);

 private:
  std::shared_ptr<Route> RouteTo(const ServerAddress& server);

  std::mutex mutex_;
  platform::ProxySettings settings_;
  bool begun_ = false;
  ConnectLog log_;
  // Few servers per download (a redirect or two): looked up one by one.
  std::vector<std::shared_ptr<Route>> routes_;
};

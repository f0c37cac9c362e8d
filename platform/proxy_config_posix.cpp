#include "platform/proxy_config.h"

#include <cstdlib>

namespace platform {

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// curl's rule: the lower-case name first, the upper-case one as well, except for http_proxy,
// which a web server's CGI environment could set from a request's "Proxy:" field.
std::string EitherCase(const char* lower, const char* upper) {
  const std::string value = Variable(lower);
  return value.empty() ? Variable(upper) : value;
}

}  // namespace

ProxySettings ReadProxySettings() {
  ProxySettings settings;
  settings.httpProxy = Variable("http_proxy");
  settings.httpsProxy = EitherCase("https_proxy", "HTTPS_PROXY");
  settings.bypass = EitherCase("no_proxy", "NO_PROXY");
  settings.source = "the environment (http_proxy, https_proxy, no_proxy)";
  return settings;
}

bool AutomaticProxyFor(const ProxySettings&, const std::string&, std::string&, std::string& why) {
  why = "automatic proxy configuration is a Windows setting";
  return false;
}

}  // namespace platform

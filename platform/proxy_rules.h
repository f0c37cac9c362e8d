// How proxy settings read: which hosts a bypass list sends directly, a proxy list's entries,
// and Internet Options' per-scheme proxy text. The same on every system.
#pragma once

#include <string>
#include <vector>

namespace platform {

// True when `host` (a name or an address; brackets of an IPv6 literal allowed) is on the list.
// Internet Options' syntax (`windowsSyntax`): entries separated by ";" or blanks, "*" matching
// any run of characters, case ignored, "<local>" matching every name without a dot. curl's
// no_proxy syntax: entries separated by "," or blanks, "*" alone matching every host, an entry
// matching that host and the names below it (a leading "." is the same entry).
bool BypassMatches(const std::string& list, bool windowsSyntax, const std::string& host);

// The entries of a proxy list ("PROXY a:1; PROXY b:2; DIRECT", "a:1;b:2", "a:1 b:2"): each
// host:port as written, "DIRECT" as such; the "PROXY" and "HTTP" keywords dropped, other kinds
// (SOCKS) left out.
std::vector<std::string> SplitProxyList(const std::string& list);

// Internet Options' proxy text: one proxy for all ("host:port") or one per scheme
// ("http=host:port;https=host:port"); the proxy for plain http and for https.
void SplitPerScheme(const std::string& text, std::string& http, std::string& https);

}  // namespace platform

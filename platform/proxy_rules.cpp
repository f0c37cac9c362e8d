#include "platform/proxy_rules.h"

#include "platform/sockets.h"

namespace platform {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(std::string text) {
  for (char& c : text) c = Lower(c);
  return text;
}

// The words of `text` between any of the separators.
std::vector<std::string> Words(const std::string& text, const char* separators) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = text.find_first_not_of(separators, at)) != std::string::npos) {
    size_t end = text.find_first_of(separators, at);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// "*" matches any run of characters; the rest matches itself. Both sides lower case.
bool GlobMatches(const char* pattern, const char* text) {
  for (; *pattern != '\0'; ++pattern, ++text) {
    if (*pattern == '*') {
      for (const char* rest = text;; ++rest) {
        if (GlobMatches(pattern + 1, rest)) return true;
        if (*rest == '\0') return false;
      }
    }
    if (*text == '\0' || *pattern != *text) return false;
  }
  return *text == '\0';
}

bool WindowsEntryMatches(std::string entry, const std::string& host) {
  if (entry == "<local>") return host.find('.') == std::string::npos && host.find(':') == std::string::npos;
  // An entry may name a scheme ("http://*.lan"); the host alone decides here.
  const size_t scheme = entry.find("://");
  if (scheme != std::string::npos) entry.erase(0, scheme + 3);
  return GlobMatches(BareHost(entry).c_str(), host.c_str());
}

bool CurlEntryMatches(std::string entry, const std::string& host) {
  if (entry == "*") return true;
  if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
  entry = BareHost(entry);
  if (entry.empty()) return false;
  if (host == entry) return true;
  return host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
         host[host.size() - entry.size() - 1] == '.';
}

}  // namespace

bool BypassMatches(const std::string& list, bool windowsSyntax, const std::string& host) {
  const std::string name = BareHost(Lowered(host));
  for (const std::string& entry : Words(Lowered(list), windowsSyntax ? "; \t\r\n" : ", \t\r\n")) {
    if (windowsSyntax ? WindowsEntryMatches(entry, name) : CurlEntryMatches(entry, name))
      return true;
  }
  return false;
}

std::vector<std::string> SplitProxyList(const std::string& list) {
  std::vector<std::string> entries;
  const std::vector<std::string> words = Words(list, "; \t\r\n");
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string keyword = Lowered(words[i]);
    if (keyword == "direct") {
      entries.push_back("DIRECT");
    } else if (keyword == "proxy" || keyword == "http") {
      if (i + 1 < words.size()) entries.push_back(words[++i]);
    } else if (keyword == "socks" || keyword == "socks4" || keyword == "socks5" ||
               keyword == "https") {
      ++i;  // a kind of proxy this program does not speak
    } else {
      entries.push_back(words[i]);
    }
  }
  return entries;
}

void SplitPerScheme(const std::string& text, std::string& http, std::string& https) {
  http.clear();
  https.clear();
  std::string all;
  for (const std::string& entry : Words(text, "; \t\r\n")) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      if (all.empty()) all = entry;
      continue;
    }
    const std::string scheme = Lowered(entry.substr(0, equals));
    if (scheme == "http" && http.empty()) http = entry.substr(equals + 1);
    if (scheme == "https" && https.empty()) https = entry.substr(equals + 1);
  }
  if (!all.empty()) {
    if (http.empty()) http = all;
    if (https.empty()) https = all;
  }
}

}  // namespace platform

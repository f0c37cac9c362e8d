// URL and path helpers shared by the download task and the wizard. Strings are UTF-8, where a
// byte below 0x80 is always a character of its own: plain byte searches for "/", ":" and "\\"
// never land inside a longer character.
#pragma once

#include <string>

// An http or https URL cut into what the downloader needs.
struct UrlParts {
  std::string host;       // between "http://" (or "https://") and the next "/" or ":"; may be empty
  int port = 80;          // the URL's port, else the scheme's; 0 when the URL's is no port
  bool secure = false;    // the URL begins with "https://" (any letter case)
  std::string urlPrefix;  // the URL up to and including its last "/"
  std::string fileName;   // the text after the last "/"
};

UrlParts SplitUrl(const std::string& url);

// A free local path for a download in the download folder (platform::DownloadFolder: the
// temporary folder, or the private folder when elevated): the name itself, or the name with
// one or more "_tmp" behind it when older files of those names cannot be deleted.
std::string MakeTempDownloadPath(const std::string& fileName);

// Replaces every pair of backslashes by one, left to right.
void CollapseDoubleBackslashes(std::string& path);

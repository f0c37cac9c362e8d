// What the fuzz targets share: a check that stops the run with a message libFuzzer keeps next
// to the input that broke it, and the downloader's inner steps opened to the targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "download/http_downloader.h"

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

class FuzzDownloader : public HttpDownloader {
 public:
  using HttpDownloader::OpenProxyTunnel;
  using HttpDownloader::ParseContentLength;
  using HttpDownloader::RequestFile;
};

// The header as ReceiveHeader must take it from `data`: up to and including the first empty
// line (after LF or CR LF), never more than 1024 bytes.
inline size_t ExpectedHeaderLength(const std::string& data) {
  size_t limit = data.size() < static_cast<size_t>(kMaxHeaderBytes) ? data.size()
                                                                    : kMaxHeaderBytes;
  for (size_t i = 1; i < limit; ++i) {
    if (data[i] != '\n') continue;
    if (data[i - 1] == '\n' || (i >= 2 && data[i - 1] == '\r' && data[i - 2] == '\n'))
      return i + 1;
  }
  return limit;
}

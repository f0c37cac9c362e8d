// Opens the downloader's inner steps to the tests: the exchange operations and the segment
// table, which the public interface keeps to itself.
#pragma once

#include "download/http_downloader.h"

class DownloaderProbe : public HttpDownloader {
 public:
  using HttpDownloader::ConnectDirect;
  using HttpDownloader::OpenProxyTunnel;
  using HttpDownloader::ParseContentLength;
  using HttpDownloader::ReceiveHeader;
  using HttpDownloader::RequestFile;
  using HttpDownloader::SendRequest;
  using HttpDownloader::SendText;
  using HttpDownloader::SetupSegments;

  int SegmentCount() const { return segmentCount_; }
  DownloadSegment& Segment(int index) { return segments_[index]; }
  void SetTotalSize(uint64_t size) { totalSize_.store(size); }

  // SetupSegments as Start calls it, but to any port: for tests that need no port 80.
  bool SetupDirect(const std::string& host, int port, const std::string& urlPrefix,
                   const std::string& fileName, const std::string& stem, int count) {
    return SetupSegments(host, port, urlPrefix, fileName, stem, count);
  }
};

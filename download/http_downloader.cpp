#include "download/http_downloader.h"

#include <system_error>

#include "platform/files.h"

namespace {

const char kFinishedLine[] = "文件下载成功！下载结束！\n";
const char kPartSuffix[] = "_tmp";
const char kPartialStatus[] = "HTTP/1.1 206";
const char kRangeField[] = "Content-Range:";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// A header cut off at 1024 bytes leaves the rest of it in the socket, where it would be taken
// for body bytes.
bool HeaderComplete(const std::string& header) {
  return header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0;
}

// How many body bytes come before the file byte `offset` the request asked for. A server that
// ignores the range answers 200 with the whole file, whose first `offset` bytes must be passed
// over; a partial answer that starts anywhere but at `offset` is refused.
bool BytesBeforeOffset(const std::string& header, uint32_t offset, uint32_t& skip) {
  skip = 0;
  if (offset == 0) return true;
  if (header.compare(0, sizeof kPartialStatus - 1, kPartialStatus) != 0) {
    skip = offset;
    return true;
  }
  size_t field = header.find(kRangeField);
  if (field == std::string::npos) return true;
  size_t value = header.find_first_not_of(" \t", field + sizeof kRangeField - 1);
  if (value == std::string::npos || header.compare(value, 6, "bytes ") != 0) return true;
  const std::string expected = std::to_string(offset) + "-";
  return header.compare(value + 6, expected.size(), expected) == 0;
}

// False when the answer states a file size other than `total`: the file was replaced on the
// server since the download learned its size, and joining pieces of both files would make a
// file that is neither. A partial answer states it after the "/" of its Content-Range, a whole
// one in its Content-Length; an answer that states none (or "*") is taken as it is.
bool StatesSameFileSize(const std::string& header, uint32_t total) {
  if (header.compare(0, sizeof kPartialStatus - 1, kPartialStatus) != 0) {
    uint32_t size = 0;
    return !ParseFileSize(header, size) || size == total;
  }
  size_t field = header.find(kRangeField);
  if (field == std::string::npos) return true;
  const size_t lineEnd = header.find("\r\n", field);  // there is one: the header is complete
  size_t at = header.find('/', field);
  if (at == std::string::npos || at > lineEnd) return true;
  at = header.find_first_not_of(" \t", at + 1);
  uint64_t stated = 0;
  size_t digits = 0;
  for (; at < lineEnd && header[at] >= '0' && header[at] <= '9' && digits < 11; ++at, ++digits)
    stated = stated * 10 + static_cast<uint64_t>(header[at] - '0');
  return digits == 0 || stated == total;
}

// The state a finished thread leaves: never over a stop that was asked for meanwhile.
void Finish(DownloadSegment& segment, SegmentState result) {
  SegmentState running = SegmentState::Running;
  segment.state.compare_exchange_strong(running, result);
}

}  // namespace

uint32_t QueryFileSize(const std::string& path) { return platform::FileSize(path); }

HttpDownloader::~HttpDownloader() {
  Stop();
  std::lock_guard<std::mutex> table(tableMutex_);
  segments_.reset();
  segmentCount_ = 0;
  totalSize_.store(0);
}

bool HttpDownloader::Start(const std::string& host, const std::string& urlPrefix,
                           const std::string& fileName, const std::string& targetPath,
                           int segmentCount, const std::atomic<bool>* cancel) {
  totalSize_.store(0);
  if (segmentCount < 1 || segmentCount > kMaxSegments) return false;
  platform::Socket connection = ConnectDirect(host, kHttpPort);
  if (!connection.IsValid()) return false;
  // Only the size is wanted from this answer; its body is never read.
  std::string header;
  bool answered = RequestFile(connection, host, urlPrefix, fileName, 0, header,
                              [cancel] { return cancel != nullptr && cancel->load(); });
  connection.Close();
  uint32_t size = 0;
  if (!answered || !HeaderComplete(header) || !ParseFileSize(header, size)) return false;
  totalSize_.store(size);

  {
    std::lock_guard<std::mutex> control(controlMutex_);
    targetPath_ = targetPath;
  }
  return SetupSegments(std::string(), kHttpPort, host, kHttpPort, urlPrefix, fileName,
                       targetPath, segmentCount, 0);
}

bool HttpDownloader::SetupSegments(const std::string& proxyHost, int proxyPort,
                                   const std::string& host, int port,
                                   const std::string& urlPrefix, const std::string& fileName,
                                   const std::string& stem, int count, int useProxy) {
  if (count < 1 || count > kMaxSegments) return false;
  SignalStop();
  std::lock_guard<std::mutex> control(controlMutex_);
  if (segments_) StopLocked(true);

  std::unique_ptr<DownloadSegment[]> table(new DownloadSegment[count]);
  const uint32_t total = totalSize_.load();
  const uint32_t share = total / static_cast<uint32_t>(count);
  uint32_t offset = 0;
  for (int i = 0; i < count; ++i) {
    DownloadSegment& segment = table[i];
    segment.owner = this;
    segment.proxyHost = proxyHost;
    segment.proxyPort = proxyPort;
    segment.host = host;
    segment.port = port;
    segment.urlPrefix = urlPrefix;
    segment.fileName = fileName;
    segment.useProxy = useProxy;

    // An old file of this name is replaced when it can be; otherwise it keeps its name and
    // the part goes elsewhere, so old bytes are never taken for received ones.
    std::string name = stem + "_" + std::to_string(i);
    while (platform::PathExists(name)) {
      if (platform::PathWritable(name) && platform::RemoveFile(name)) break;
      name += kPartSuffix;
    }
    segment.partFile = name;

    segment.rangeStart = offset;
    segment.rangeEnd = (i == count - 1) ? total : offset + share;
    offset += share;
  }
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    segments_ = std::move(table);  // the old table's threads were all joined above
    segmentCount_ = count;
  }
  return StartThreads();
}

bool HttpDownloader::StartThreads() {
  for (int i = 0; i < segmentCount_; ++i) {
    DownloadSegment& segment = segments_[i];
    segment.state.store(SegmentState::Running);
    try {
      segment.thread = std::thread(&HttpDownloader::SegmentThreadProc, this, std::ref(segment));
    } catch (const std::system_error&) {
      segment.state.store(SegmentState::Failed);
    }
  }
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].state.load() == SegmentState::Failed) return false;
  }
  return true;
}

void HttpDownloader::SegmentThreadProc(DownloadSegment& segment) {
  platform::Socket connection =
      segment.useProxy != 0
          ? OpenProxyTunnel(segment.proxyHost, segment.proxyPort, segment.host, segment.port)
          : ConnectDirect(segment.host, segment.port);
  if (!connection.IsValid()) {
    Finish(segment, SegmentState::Failed);
    return;
  }
  if (segment.state.load() == SegmentState::Stopped) return;

  const uint32_t need = segment.Need();
  const uint32_t existing = QueryFileSize(segment.partFile);
  segment.bytesDone.store(existing);
  if (existing >= need) {
    segment.bytesDone.store(need);
    connection.Close();
    std::fputs(kFinishedLine, stdout);
    std::fflush(stdout);
    Finish(segment, SegmentState::Done);
    return;
  }

  bool exists = platform::PathExists(segment.partFile) && !platform::IsDirectory(segment.partFile);
  UniqueFile part(platform::OpenFileDenyWrite(segment.partFile, exists ? "r+b" : "w+b"));
  if (!part) {
    connection.Close();
    Finish(segment, SegmentState::Failed);
    return;
  }

  const uint32_t offset = segment.rangeStart + existing;
  std::string header;
  uint32_t skip = 0;
  const StopTest stopped = [&segment] { return segment.state.load() == SegmentState::Stopped; };
  bool accepted = RequestFile(connection, segment.host, segment.urlPrefix, segment.fileName,
                              offset, header, stopped) &&
                  HeaderComplete(header) && BytesBeforeOffset(header, offset, skip) &&
                  StatesSameFileSize(header, totalSize_.load());
  if (std::fseek(part.get(), static_cast<long>(existing), SEEK_SET) != 0) accepted = false;

  if (accepted) {
    char buffer[kChunkSize];
    uint32_t done = existing;
    while (segment.state.load() == SegmentState::Running && done < need) {
      int got = platform::ReceiveBytes(connection.Handle(), buffer, kChunkSize);
      if (got <= 0) break;
      const char* data = buffer;
      uint32_t count = static_cast<uint32_t>(got);
      if (skip > 0) {
        uint32_t passed = skip < count ? skip : count;
        skip -= passed;
        data += passed;
        count -= passed;
        if (count == 0) continue;
      }
      // The last chunk is kept whole even past the range: those are the file's next bytes.
      if (std::fwrite(data, 1, count, part.get()) != count) break;
      done += count;
      segment.bytesDone.store(done);
    }
  }
  part.reset();
  connection.Close();

  if (segment.state.load() == SegmentState::Stopped) return;
  const uint32_t size = QueryFileSize(segment.partFile);
  segment.bytesDone.store(size);
  Finish(segment, size < need ? SegmentState::Failed : SegmentState::Done);
}

bool HttpDownloader::Restart() {
  std::lock_guard<std::mutex> control(controlMutex_);
  if (!segments_) return false;
  // Threads that ended on their own are reaped first: a segment never has two threads.
  JoinAll();
  return StartThreads();
}

void HttpDownloader::SignalStop() {
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (int i = 0; segments_ && i < segmentCount_; ++i)
    segments_[i].state.store(SegmentState::Stopped);
}

void HttpDownloader::JoinAll() {
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].thread.joinable()) segments_[i].thread.join();
  }
}

bool HttpDownloader::StopLocked(bool deleteParts) {
  if (!segments_) return false;
  for (int i = 0; i < segmentCount_; ++i) segments_[i].state.store(SegmentState::Stopped);
  JoinAll();
  if (deleteParts) {
    for (int i = 0; i < segmentCount_; ++i) platform::RemoveFile(segments_[i].partFile);
  }
  return true;
}

bool HttpDownloader::Stop() {
  // Told before the lock, so that a merge waiting for the threads sees them end soon.
  SignalStop();
  std::lock_guard<std::mutex> control(controlMutex_);
  return StopLocked(false);
}

bool HttpDownloader::StopAndDeleteParts() {
  SignalStop();
  std::lock_guard<std::mutex> control(controlMutex_);
  return StopLocked(true);
}

bool HttpDownloader::IsFinished() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  if (!segments_) return false;
  uint32_t sum = 0;
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].state.load() != SegmentState::Done) return false;
    sum += segments_[i].bytesDone.load();
  }
  return sum >= totalSize_.load();
}

bool HttpDownloader::HasFailed() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (int i = 0; segments_ && i < segmentCount_; ++i) {
    if (segments_[i].state.load() == SegmentState::Failed) return true;
  }
  return false;
}

uint32_t HttpDownloader::GetBytesDone() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  uint32_t sum = 0;
  // A segment's last chunk may run past its range; counted only up to the range, the sum
  // never falls when a restarted segment finds its part complete.
  for (int i = 0; segments_ && i < segmentCount_; ++i) {
    const uint32_t done = segments_[i].bytesDone.load();
    const uint32_t need = segments_[i].Need();
    sum += done < need ? done : need;
  }
  return sum;
}

bool HttpDownloader::MergeParts(const std::string& targetPath) {
  std::lock_guard<std::mutex> control(controlMutex_);
  if (!targetPath.empty()) targetPath_ = targetPath;
  // No time limit: a part file is never read while its thread may still write it. Threads end
  // by themselves, or within the socket time-outs of a Stop.
  JoinAll();
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].state.load() == SegmentState::Failed) return false;
  }
  if (platform::PathExists(targetPath_) && !platform::IsDirectory(targetPath_))
    platform::SetReadOnly(targetPath_, false);
  if (segmentCount_ == 0) return true;

  // A file this merge creates and cannot write whole (a short part, a full disk) is deleted
  // again: a truncated file must not stay under the name that is run.
  const bool created = !platform::PathExists(targetPath_);
  UniqueFile target(platform::OpenFileDenyWrite(targetPath_, "wb"));
  if (!target) return false;
  bool written = true;
  for (int i = 0; written && i < segmentCount_; ++i) {
    // An empty range has nothing to add and may have no part file at all.
    if (segments_[i].Need() == 0) continue;
    written = AppendPartFile(segments_[i], target.get());
  }
  if (std::fclose(target.release()) != 0) written = false;
  if (!written && created) platform::RemoveFile(targetPath_);
  return written;
}

bool HttpDownloader::AppendPartFile(DownloadSegment& segment, std::FILE* target) {
  UniqueFile part(platform::OpenFileDenyWrite(segment.partFile, "rb"));
  if (!part) return false;
  if (std::fseek(target, static_cast<long>(segment.rangeStart), SEEK_SET) != 0) return false;
  uint32_t position = segment.rangeStart;
  char buffer[kChunkSize];
  while (position < segment.rangeEnd) {
    size_t got = std::fread(buffer, 1, sizeof buffer, part.get());
    if (got == 0) break;
    // Bytes a part holds past its range belong to the next segment, or to no file at all.
    size_t wanted = segment.rangeEnd - position;
    size_t count = got < wanted ? got : wanted;
    // The target, not the part, failed: the part stays, the segment stays as it is.
    if (std::fwrite(buffer, 1, count, target) != count) return false;
    position += static_cast<uint32_t>(count);
  }
  part.reset();
  if (position >= segment.rangeEnd) return true;
  platform::RemoveFile(segment.partFile);
  segment.state.store(SegmentState::Failed);
  return false;
}

#include "download/http_downloader.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#include "download/http_answer.h"
#include "platform/files.h"

namespace {

const char kFinishedLine[] = "文件下载成功！下载结束！\n";
std::atomic<std::FILE*> finishedLineStream{stdout};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// The state a finished thread leaves: never over a stop that was asked for meanwhile.
void Finish(DownloadSegment& segment, SegmentState result) {
  SegmentState running = SegmentState::Running;
  segment.state.compare_exchange_strong(running, result);
}

void PrintFinishedLine() {
  std::FILE* stream = finishedLineStream.load();
  if (stream == nullptr) return;
  std::fputs(kFinishedLine, stream);
  std::fflush(stream);
}

// How much a failure weighs when several are reported before anyone looks.
int Gravity(const DownloadError& error) {
  if (!error.Failed()) return 0;
  if (error.IsPermanent()) return 3;
  return error.NeedsStartOver() ? 2 : 1;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A rate measured over less time than this is taken only when nothing better is known.
constexpr int64_t kMinMeasureMs = 100;

// Bytes per second the segment's thread has fetched since it began; its assumed rate while too
// little was measured. A connection that brought nothing for kMinMeasureMs is known to be
// slow, not unknown.
double RateOf(const DownloadSegment& segment, int64_t nowMs) {
  const int64_t elapsed = nowMs - segment.fetchStartMs.load();
  const uint32_t start = segment.fetchStartBytes.load();
  const uint32_t done = segment.bytesDone.load();
  const double bytes = done > start ? done - start : 0;
  if (elapsed >= kMinMeasureMs) return std::max(bytes * 1000 / static_cast<double>(elapsed), 1.0);
  if (bytes > 0 && elapsed > 0 && segment.assumedRate == 0)
    return bytes * 1000 / static_cast<double>(elapsed);
  return segment.assumedRate;
}

}  // namespace

// Takes controlMutex_ for a control call, counted in controlWaiters_ from before it waits for
// the lock until it has let go.
class ControlLock {
 public:
  explicit ControlLock(HttpDownloader& owner) : owner_(owner) {
    owner_.controlWaiters_.fetch_add(1);
    owner_.controlMutex_.lock();
  }
  ~ControlLock() {
    owner_.controlMutex_.unlock();
    owner_.controlWaiters_.fetch_sub(1);
  }
  ControlLock(const ControlLock&) = delete;
  ControlLock& operator=(const ControlLock&) = delete;

 private:
  HttpDownloader& owner_;
};

bool ChooseSplit(const std::vector<RangeProgress>& running, double freeRate,
                 SplitChoice& choice) {
  // Rates not measured yet count as the mean of those that are; with none, all as equal.
  double knownSum = freeRate;
  int known = freeRate > 0 ? 1 : 0;
  for (const RangeProgress& range : running) {
    if (range.rate <= 0) continue;
    knownSum += range.rate;
    ++known;
  }
  const double fallback = known > 0 ? knownSum / known : 1.0;
  const auto rateOf = [fallback](double rate) { return rate > 0 ? rate : fallback; };
  double combined = rateOf(freeRate);
  double rest = 0;
  double longest = -1;
  choice = SplitChoice();
  for (size_t i = 0; i < running.size(); ++i) {
    const RangeProgress& range = running[i];
    const uint32_t left = range.end > range.position ? range.end - range.position : 0;
    rest += left;
    combined += rateOf(range.rate);
    const double seconds = left / rateOf(range.rate);
    if (left > kStealThreshold && seconds > longest) {
      longest = seconds;
      choice.victim = static_cast<int>(i);
    }
  }
  if (choice.victim < 0) return false;
  const RangeProgress& victim = running[static_cast<size_t>(choice.victim)];
  // The victim keeps at least a chunk past its position: one may be received and not counted.
  const double keep = std::max(rateOf(victim.rate) * rest / combined, double{kChunkSize});
  const double last = victim.end - kMinPiece;
  choice.splitAt = static_cast<uint32_t>(std::min(victim.position + keep, last));
  return true;
}

void SetFinishedLineStream(std::FILE* stream) { finishedLineStream.store(stream); }

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
  ServerAddress server;
  server.host = host;
  return Start(server, urlPrefix, fileName, targetPath, segmentCount, cancel);
}

bool HttpDownloader::Start(const ServerAddress& server, const std::string& urlPrefix,
                           const std::string& fileName, const std::string& targetPath,
                           int segmentCount, const std::atomic<bool>* cancel) {
  totalSize_.store(0);
  if (segmentCount < 1 || segmentCount > kMaxSegments) return false;
  if (server.port == 0) {
    ReportFailure(MakeError(DownloadErrorKind::BadAddress, "the address names no usable port"), true);
    return false;
  }
  routes_.Begin(requestLog_);
  ServerAddress finalServer = server;
  std::string finalPrefix = urlPrefix;
  std::string finalName = fileName;
  uint32_t size = 0;
  std::string validator;
  const DownloadError error =
      LearnSize(finalServer, finalPrefix, finalName, size, validator,
                [cancel] { return cancel != nullptr && cancel->load(); });
  if (error.Failed()) {
    ReportFailure(error, true);
    return false;
  }
  totalSize_.store(size);
  {
    ControlLock control(*this);
    targetPath_ = targetPath;
    url_ = urlPrefix + fileName;
    validator_ = validator;
  }
  DeleteStaleDownloads(platform::FolderOf(targetPath), kStaleDownloadSeconds);
  // Parts of an earlier run go on only for the same file: same URL, size and validator.
  PartTable kept;
  const bool resume = !validator.empty() && ReadPartTable(targetPath, kMaxSegments, kept) &&
                      kept.url == urlPrefix + fileName && kept.size == size &&
                      kept.validator == validator;
  return SetupSegments(std::string(), kHttpPort, finalServer.host, finalServer.port, finalPrefix,
                       finalName, targetPath, segmentCount, 0, resume ? &kept : nullptr);
}

namespace {

// Notes one request in the request log as it ends: "GET <url> range A- status S bytes B ms T"
// (range "-" for a request without one; "A- if-range" for a resumed one).
class RequestNote {
 public:
  RequestNote(const RequestLog& log, const std::string& url, uint32_t offset, bool ranged,
              bool ifRange = false)
      : log_(log), start_(std::chrono::steady_clock::now()) {
    if (!log_) return;
    what_ = "GET " + url + " range " + (ranged ? std::to_string(offset) + "-" : "-") +
            (ifRange ? " if-range" : "");
  }
  ~RequestNote() {
    if (!log_) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_).count();
    log_(what_ + " status " + std::to_string(status_) + " bytes " + std::to_string(bytes_) +
         " ms " + std::to_string(ms));
  }
  RequestNote(const RequestNote&) = delete;
  RequestNote& operator=(const RequestNote&) = delete;
  void Answered(const std::string& header) { status_ = ParseResponseHeader(header).status; }
  void Received(uint64_t bytes) { bytes_ = bytes; }

 private:
  const RequestLog& log_;
  std::chrono::steady_clock::time_point start_;
  std::string what_;
  int status_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace

void HttpDownloader::SetPinnedRoots(const std::string& pem) {
  ControlLock control(*this);
  pinnedRoots_ = pem;
}

std::string HttpDownloader::PeerDescription() const {
  std::lock_guard<std::mutex> lock(peerMutex_);
  return peerDescription_;
}

// The proxy arguments are no longer asked: every connection takes its server's route.
DownloadError HttpDownloader::OpenConnection(const ServerAddress& server, const std::string&,
                                             int, bool, const StopTest& stopped,
                                             Connection& connection) const {
  return routes_.Open(server, pinnedRoots_, stopped, connection);
}

DownloadError HttpDownloader::LearnSize(ServerAddress& server, std::string& urlPrefix,
                                        std::string& fileName, uint32_t& size,
                                        std::string& validator, const StopTest& stopped) {
  for (int hop = 0;; ++hop) {
    Connection connection;
    DownloadError error = OpenConnection(server, std::string(), 0, false, stopped, connection);
    if (error.Failed()) return error;
    {
      std::lock_guard<std::mutex> lock(peerMutex_);
      peerDescription_ = server.secure ? "https, certificate " + connection.PeerSubject() : "http";
    }
    // Only the size is wanted from this answer; its body is never read.
    std::string text;
    RequestNote note(requestLog_, urlPrefix + fileName, 0, false);
    error = RequestFile(connection, server.HostField(), urlPrefix, fileName, 0, text, stopped);
    note.Answered(text);
    connection.Close();
    const ResponseHeader header = ParseResponseHeader(text);
    if (error.kind == DownloadErrorKind::Status && IsRedirect(error.status)) {
      const HttpField* location = header.Find("Location");
      if (location == nullptr)
        return MakeError(DownloadErrorKind::Redirect, "a redirect without a Location");
      if (hop == kMaxRedirects)
        return MakeError(DownloadErrorKind::Redirect, "more than 5 redirects");
      const bool wasSecure = server.secure;
      ServerAddress next = server;
      if (!FollowLocation(location->value, next, urlPrefix, fileName)) {
        return MakeError(DownloadErrorKind::Redirect,
                         "redirected to " + Printable(location->value) +
                             ", which is not an http or https address");
      }
      if (wasSecure && !next.secure) {
        return MakeError(DownloadErrorKind::InsecureRedirect,
                         "redirected from https to plain http: " + Printable(location->value));
      }
      server = next;
      continue;
    }
    if (error.Failed()) return error;
    // A weak ETag never matches an If-Range: the date serves better then.
    const HttpField* tag = header.Find("ETag");
    if (tag == nullptr || tag->value.compare(0, 2, "W/") == 0) tag = header.Find("Last-Modified");
    validator = tag != nullptr ? tag->value : std::string();
    return SizeOf(header, size);
  }
}

namespace {

// Makes `to` fetch from where `from` fetches, the same way.
void SameServer(const DownloadSegment& from, DownloadSegment& to) {
  to.owner = from.owner;
  to.proxyHost = from.proxyHost;
  to.proxyPort = from.proxyPort;
  to.host = from.host;
  to.port = from.port;
  to.secure = from.secure;
  to.urlPrefix = from.urlPrefix;
  to.fileName = from.fileName;
  to.useProxy = from.useProxy;
  to.ifRange = from.ifRange;
}

// The name of part `index` of `stem`. An old file of this name is replaced when it can be;
// otherwise it keeps its name and the part goes elsewhere, so old bytes are never taken for
// received ones.
std::string FreePartName(const std::string& stem, int index) {
  std::string name = stem + "_" + std::to_string(index);
  while (platform::PathExists(name)) {
    if (platform::PathWritable(name) && platform::RemoveFile(name)) break;
    name += kTmpSuffix;
  }
  return name;
}

}  // namespace

bool HttpDownloader::SetupSegments(const std::string& proxyHost, int proxyPort,
                                   const std::string& host, int port,
                                   const std::string& urlPrefix, const std::string& fileName,
                                   const std::string& stem, int count, int useProxy,
                                   const PartTable* kept) {
  if (count < 1 || count > kMaxSegments) return false;
  SignalStop();
  ControlLock control(*this);
  // The old table's parts go, unless they are the ones to continue from.
  if (segments_) StopLocked(kept == nullptr || partStem_ != stem);
  if (kept == nullptr) DeleteDownloadFiles(stem, kMaxSegments);

  std::unique_ptr<DownloadSegment[]> table(new DownloadSegment[kMaxSegments]);
  const uint32_t total = totalSize_.load();
  const uint32_t share = total / static_cast<uint32_t>(count);
  const int made = kept != nullptr ? static_cast<int>(kept->ranges.size()) : count;
  DownloadSegment& first = table[0];
  first.owner = this;
  first.proxyHost = proxyHost;
  first.proxyPort = proxyPort;
  first.host = host;
  first.port = port;
  // The request line carries the absolute address: its scheme decides.
  first.secure = IsSecureAddress(urlPrefix);
  first.urlPrefix = urlPrefix;
  first.fileName = fileName;
  first.useProxy = useProxy;
  uint32_t offset = 0;
  for (int i = 0; i < made; ++i) {
    DownloadSegment& segment = table[i];
    if (i > 0) SameServer(first, segment);
    if (kept != nullptr) {
      const PartRange& range = kept->ranges[static_cast<size_t>(i)];
      segment.partFile = stem + range.partSuffix;
      segment.rangeStart = range.start;
      segment.rangeEnd.store(range.end);
      segment.ifRange = kept->validator;
      // The bar starts at the share kept.
      segment.bytesDone.store(std::min(QueryFileSize(segment.partFile), segment.Need()));
      continue;
    }
    segment.partFile = FreePartName(stem, i);
    segment.rangeStart = offset;
    segment.rangeEnd.store((i == count - 1) ? total : offset + share);
    offset += share;
  }
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    segments_ = std::move(table);  // the old table's threads were all joined above
    segmentCount_.store(made);
  }
  connectionLimit_ = count;
  partStem_ = stem;
  WriteSidecarLocked();
  return StartThreads();
}

void HttpDownloader::WriteSidecarLocked() {
  if (validator_.empty() || partStem_.empty()) return;
  PartTable table;
  table.url = url_;
  table.size = totalSize_.load();
  table.validator = validator_;
  for (int i = 0; i < segmentCount_; ++i) {
    const DownloadSegment& segment = segments_[i];
    table.ranges.push_back(
        {segment.rangeStart, segment.rangeEnd.load(), segment.partFile.substr(partStem_.size())});
  }
  // Without a sidecar the download still finishes; only a later run starts it over.
  WritePartTable(partStem_, table);
}

void HttpDownloader::StartThread(DownloadSegment& segment) {
  segment.state.store(SegmentState::Running);
  try {
    segment.thread = std::thread(&HttpDownloader::SegmentThreadProc, this, std::ref(segment));
  } catch (const std::system_error&) {
    segment.state.store(SegmentState::Failed);
  }
}

bool HttpDownloader::StartThreads() {
  for (int i = 0; i < segmentCount_; ++i) StartThread(segments_[i]);
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].state.load() == SegmentState::Failed) return false;
  }
  return true;
}

void HttpDownloader::SegmentThreadProc(DownloadSegment& segment) {
  const uint32_t existing = QueryFileSize(segment.partFile);
  // A part that holds its range already needs no connection.
  if (existing >= segment.Need()) {
    segment.bytesDone.store(segment.Need());
    PrintFinishedLine();
    Finish(segment, SegmentState::Done);
    return;
  }
  segment.bytesDone.store(existing);
  segment.fetchStartBytes.store(existing);
  segment.fetchStartMs.store(SteadyMs());
  uint64_t received = 0;
  DownloadError error = FetchRange(segment, existing, received);

  if (segment.state.load() == SegmentState::Stopped) return;
  // Read again: a split may have moved the range's end meanwhile.
  const uint32_t size = QueryFileSize(segment.partFile);
  segment.bytesDone.store(size);
  if (size >= segment.Need() && error.kind != DownloadErrorKind::Disk) {
    Finish(segment, SegmentState::Done);
    StealWork(segment);
    return;
  }
  if (!error.Failed()) {
    error = MakeError(DownloadErrorKind::Closed,
                      "the connection ended before the segment's bytes were all there");
  }
  ReportFailure(error, received < kStormBytes);
  Finish(segment, SegmentState::Failed);
}

DownloadError HttpDownloader::FetchRange(DownloadSegment& segment, uint32_t existing,
                                         uint64_t& received) {
  const StopTest stopped = [&segment] { return segment.state.load() == SegmentState::Stopped; };
  ServerAddress server;
  server.host = segment.host;
  server.port = segment.port;
  server.secure = segment.secure;
  Connection connection;
  const DownloadError unconnected = OpenConnection(server, segment.proxyHost, segment.proxyPort,
                                                   segment.useProxy != 0, stopped, connection);
  if (stopped() || unconnected.kind == DownloadErrorKind::Stopped) return DownloadError();
  if (unconnected.Failed()) return unconnected;

  const bool exists = platform::PathExists(segment.partFile) &&
                      !platform::IsDirectory(segment.partFile);
  UniqueFile part(platform::OpenFileDenyWrite(segment.partFile, exists ? "r+b" : "w+b"));
  if (!part || std::fseek(part.get(), static_cast<long>(existing), SEEK_SET) != 0)
    return MakeError(DownloadErrorKind::Disk, "a part file cannot be opened: " + segment.partFile);
  // Each write goes to the system whole: stdio's small buffer would cut it in two.
  std::setvbuf(part.get(), nullptr, _IONBF, 0);

  const uint32_t offset = segment.rangeStart + existing;
  const bool resumed = offset > 0 && !segment.ifRange.empty();
  std::string text;
  RequestNote note(requestLog_, segment.urlPrefix + segment.fileName, offset, offset > 0,
                   resumed);
  DownloadError error = RequestFile(connection, server.HostField(), segment.urlPrefix,
                                    segment.fileName, offset, text, stopped, segment.ifRange);
  note.Answered(text);
  if (error.Failed()) return error;
  const ResponseHeader header = ParseResponseHeader(text);
  // The whole file to an If-Range request: it is no longer the one the parts came from.
  if (resumed && header.status == 200) {
    return MakeError(DownloadErrorKind::SizeChanged,
                     "the file changed on the server since its parts were fetched");
  }
  BodyPlan plan;
  error = PlanBody(header, offset, totalSize_.load(), plan);
  if (error.Failed()) return error;

  // Nothing is written before the answer is known to be for these bytes of this file.
  BodyReader body(connection, plan.coding, plan.lengthKnown, plan.length, stopped);
  std::vector<char> buffer(kChunkSize);
  uint32_t done = existing;
  while (segment.state.load() == SegmentState::Running && done < segment.Need()) {
    int got = body.Read(buffer.data(), kChunkSize);
    if (got < 0) return body.Error();
    if (got == 0) break;
    const char* data = buffer.data();
    uint32_t count = static_cast<uint32_t>(got);
    if (plan.skip > 0) {
      const uint32_t passed = plan.skip < count ? static_cast<uint32_t>(plan.skip) : count;
      plan.skip -= passed;
      data += passed;
      count -= passed;
      if (count == 0) continue;
    }
    // A part holds its range and nothing more: bytes past it are another segment's. The end
    // is read after the receive, as a split may just have moved it.
    const uint32_t need = segment.Need();
    if (done >= need) break;
    if (count > need - done) count = need - done;
    if (std::fwrite(data, 1, count, part.get()) != count)
      return MakeError(DownloadErrorKind::Disk, "a part file cannot be written (disk full?)");
    done += count;
    received += count;
    note.Received(received);
    segment.bytesDone.store(done);
  }
  if (std::fclose(part.release()) != 0)
    return MakeError(DownloadErrorKind::Disk, "a part file cannot be written (disk full?)");
  return DownloadError();
}

void HttpDownloader::StealWork(DownloadSegment& segment) {
  std::unique_lock<std::mutex> lock(controlMutex_, std::defer_lock);
  // Another split holds the lock a moment only; a control call may be waiting for this thread.
  while (!lock.try_lock()) {
    if (controlWaiters_.load() > 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  SplitLocked(segment);
}

bool HttpDownloader::SplitLocked(DownloadSegment& freeSegment) {
  const int count = segmentCount_.load();
  // Stopped meanwhile, or the table is full.
  if (freeSegment.state.load() != SegmentState::Done || count >= kMaxSegments) return false;
  const int64_t now = SteadyMs();
  std::vector<RangeProgress> running;
  std::vector<int> indexes;
  // A failed segment gets its connection back when it is retried: it counts against the limit.
  int unfinished = 0;
  for (int i = 0; i < count; ++i) {
    const DownloadSegment& segment = segments_[i];
    const SegmentState state = segment.state.load();
    if (state == SegmentState::Failed) ++unfinished;
    if (state != SegmentState::Running) continue;
    ++unfinished;
    running.push_back({segment.rangeStart + segment.bytesDone.load(), segment.rangeEnd.load(),
                       RateOf(segment, now)});
    indexes.push_back(i);
  }
  if (unfinished >= connectionLimit_) return false;
  const double freeRate = RateOf(freeSegment, now);
  SplitChoice choice;
  if (!ChooseSplit(running, freeRate, choice)) return false;
  DownloadSegment& victim = segments_[indexes[static_cast<size_t>(choice.victim)]];
  DownloadSegment& added = segments_[count];
  SameServer(victim, added);
  added.partFile = FreePartName(partStem_, count);
  added.rangeStart = choice.splitAt;
  added.rangeEnd.store(victim.rangeEnd.load());
  added.assumedRate = static_cast<uint32_t>(freeRate);
  victim.rangeEnd.store(choice.splitAt);
  {
    std::lock_guard<std::mutex> table(tableMutex_);
    segmentCount_.store(count + 1);
  }
  StartThread(added);
  WriteSidecarLocked();
  return true;
}

void HttpDownloader::ReportFailure(const DownloadError& error, bool unproductive) {
  std::lock_guard<std::mutex> lock(failureMutex_);
  if (Gravity(error) >= Gravity(failures_.error)) failures_.error = error;
  failures_.unproductive = failures_.unproductive || unproductive;
}

FailureReport HttpDownloader::TakeFailures() {
  std::lock_guard<std::mutex> lock(failureMutex_);
  FailureReport report = failures_;
  failures_ = FailureReport();
  return report;
}

bool HttpDownloader::RetryFailed() {
  ControlLock control(*this);
  if (!segments_) return false;
  for (int i = 0; i < segmentCount_; ++i) {
    DownloadSegment& segment = segments_[i];
    if (segment.state.load() != SegmentState::Failed) continue;
    // A failed segment's thread has ended, or is about to: a segment never has two threads.
    if (segment.thread.joinable()) segment.thread.join();
    StartThread(segment);
  }
  return true;
}

bool HttpDownloader::Restart() {
  ControlLock control(*this);
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
  if (deleteParts) DeletePartsLocked();
  return true;
}

void HttpDownloader::DeletePartsLocked() {
  for (int i = 0; i < segmentCount_; ++i) platform::RemoveFile(segments_[i].partFile);
  platform::RemoveFile(SidecarPath(partStem_));
}

bool HttpDownloader::Stop() {
  // Told before the lock, so that a merge waiting for the threads sees them end soon.
  SignalStop();
  ControlLock control(*this);
  return StopLocked(false);
}

bool HttpDownloader::StopAndDeleteParts() {
  SignalStop();
  ControlLock control(*this);
  return StopLocked(true);
}

bool HttpDownloader::IsFinished() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  if (!segments_) return false;
  uint32_t sum = 0;
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].state.load() != SegmentState::Done) return false;
    sum += std::min(segments_[i].bytesDone.load(), segments_[i].Need());
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
  // A part may run past its range (its end moved down by a split); counted only up to the
  // range, the sum never falls when a restarted segment finds its part complete.
  for (int i = 0; segments_ && i < segmentCount_; ++i) {
    const uint32_t done = segments_[i].bytesDone.load();
    const uint32_t need = segments_[i].Need();
    sum += done < need ? done : need;
  }
  return sum;
}

bool HttpDownloader::MergeParts(const std::string& targetPath) {
  ControlLock control(*this);
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
  const DownloadError unwritable =
      MakeError(DownloadErrorKind::NotWritable, "the file cannot be written as " + targetPath_);
  // Parts that vanished or shrank (a cleaner, a virus scanner) are fetched again, not taken
  // for a target that cannot be written.
  bool partsThere = true;
  for (int i = 0; i < segmentCount_; ++i) {
    DownloadSegment& segment = segments_[i];
    if (segment.Need() == 0 || QueryFileSize(segment.partFile) >= segment.Need()) continue;
    platform::RemoveFile(segment.partFile);
    segment.bytesDone.store(0);
    segment.state.store(SegmentState::Failed);
    partsThere = false;
  }
  if (!partsThere) {
    ReportFailure(MakeError(DownloadErrorKind::MissingPart,
                            "a part file vanished or shrank before the file was written"),
                  false);
    return false;
  }
  const bool created = !platform::PathExists(targetPath_);
  UniqueFile target(platform::OpenFileDenyWrite(targetPath_, "wb"));
  if (!target) {
    ReportFailure(unwritable, false);
    return false;
  }
  std::setvbuf(target.get(), nullptr, _IONBF, 0);  // whole chunks, as for the parts
  // Splits add segments out of order: the parts are joined in the order of their ranges.
  std::vector<DownloadSegment*> order;
  for (int i = 0; i < segmentCount_; ++i) order.push_back(&segments_[i]);
  std::sort(order.begin(), order.end(), [](const DownloadSegment* a, const DownloadSegment* b) {
    return a->rangeStart < b->rangeStart;
  });
  bool written = true;
  for (size_t i = 0; written && i < order.size(); ++i) {
    // An empty range has nothing to add and may have no part file at all.
    if (order[i]->Need() == 0) continue;
    written = AppendPartFile(*order[i], target.get());
  }
  if (std::fclose(target.release()) != 0) written = false;
  if (!written && created) platform::RemoveFile(targetPath_);
  if (!written && !HasFailed()) ReportFailure(unwritable, false);
  // The file is written: nothing is left to continue.
  if (written) DeletePartsLocked();
  return written;
}

bool HttpDownloader::AppendPartFile(DownloadSegment& segment, std::FILE* target) {
  UniqueFile part(platform::OpenFileDenyWrite(segment.partFile, "rb"));
  if (!part) {
    segment.state.store(SegmentState::Failed);
    ReportFailure(MakeError(DownloadErrorKind::MissingPart, "a part file cannot be read"), false);
    return false;
  }
  if (std::fseek(target, static_cast<long>(segment.rangeStart), SEEK_SET) != 0) return false;
  uint32_t position = segment.rangeStart;
  const uint32_t end = segment.rangeEnd.load();
  std::vector<char> buffer(kChunkSize);
  while (position < end) {
    size_t got = std::fread(buffer.data(), 1, buffer.size(), part.get());
    if (got == 0) break;
    // Bytes a part holds past its range belong to the next segment, or to no file at all.
    size_t wanted = end - position;
    size_t count = got < wanted ? got : wanted;
    // The target, not the part, failed: the part stays, the segment stays as it is.
    if (std::fwrite(buffer.data(), 1, count, target) != count) return false;
    position += static_cast<uint32_t>(count);
  }
  part.reset();
  if (position >= end) return true;
  platform::RemoveFile(segment.partFile);
  segment.bytesDone.store(0);
  segment.state.store(SegmentState::Failed);
  ReportFailure(MakeError(DownloadErrorKind::MissingPart, "a part file was short"), false);
  return false;
}

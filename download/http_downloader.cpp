#include "download/http_downloader.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#include "download/http_answer.h"
#include "download/size_requests.h"
#include "platform/files.h"

namespace {

const char kFinishedLine[] = "文件下载成功！下载结束！\n";
std::atomic<std::FILE*> finishedLineStream{stdout};

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

}  // namespace

// Takes controlMutex_ for a control call.
class ControlLock {
 public:
  explicit ControlLock(HttpDownloader& owner) : owner_(owner) { owner_.controlMutex_.lock(); }
  ~ControlLock() { owner_.controlMutex_.unlock(); }
  ControlLock(const ControlLock&) = delete;
  ControlLock& operator=(const ControlLock&) = delete;

 private:
  HttpDownloader& owner_;
};

void SetFinishedLineStream(std::FILE* stream) { finishedLineStream.store(stream); }

std::string ValidatorOf(const ResponseHeader& header) {
  // A weak ETag never matches an If-Range: the date serves better then.
  const HttpField* tag = header.Find("ETag");
  if (tag == nullptr || tag->value.compare(0, 2, "W/") == 0) tag = header.Find("Last-Modified");
  return tag != nullptr ? tag->value : std::string();
}

HttpDownloader::~HttpDownloader() {
  Stop();
  nextRequests_.reset();
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
  SourceAddress source;
  source.server = server;
  source.urlPrefix = urlPrefix;
  source.fileName = fileName;
  return Start(std::vector<SourceAddress>{source}, targetPath, segmentCount, cancel);
}

namespace {

// What was fetched goes on only for the same file: the same list and size, and the validators
// the sidecar recorded. One that records a single validator (no list of them) names the
// defining source's, which must be the same now, and a known one unless the table is this
// downloader's own (as after a pause). One that records each source's: every source that
// answered now with a recorded validator gives that one, and at least one does (or the table
// is this downloader's own).
bool SameFileAsKept(const PartTable& kept, bool own, const std::string& listUrl,
                    const std::vector<SizeAnswer>& answers, int defining) {
  const SizeAnswer& file = answers[static_cast<size_t>(defining)];
  if (kept.ranges.empty() || kept.url != listUrl || kept.size != file.size) return false;
  if (kept.validators.empty())
    return (own || !file.validator.empty()) && kept.validator == file.validator;
  int matches = 0;
  for (size_t i = 0; i < answers.size() && i < kept.validators.size(); ++i) {
    const SizeAnswer& answer = answers[i];
    if (answer.error.Failed() || answer.size != file.size || kept.validators[i].empty()) continue;
    if (answer.validator != kept.validators[i]) return false;
    ++matches;
  }
  return own || matches > 0;
}

}  // namespace

bool HttpDownloader::Start(const std::vector<SourceAddress>& given, const std::string& targetPath,
                           int segmentCount, const std::atomic<bool>* cancel) {
  PartTable kept;
  {
    // This downloader's own table is the newest record of its download (a full disk may have
    // kept the sidecar from being saved); otherwise the sidecar of an earlier run.
    ControlLock control(*this);
    if (segments_ && partStem_ == targetPath) kept = TableLocked();
  }
  totalSize_.store(0);
  if (segmentCount < 1 || segmentCount > kMaxSegments || given.empty()) return false;
  std::string listUrl;
  for (const SourceAddress& source : given) {
    if (source.server.port == 0) {
      ReportFailure(MakeError(DownloadErrorKind::BadAddress, "the address names no usable port"),
                    true);
      return false;
    }
    listUrl += (listUrl.empty() ? "" : ";") + source.urlPrefix + source.fileName;
  }
  routes_.Begin(requestLog_);
  std::unique_ptr<SourceList> sources(new SourceList);
  std::unique_ptr<SizeRequests> asking;  // ends before the list it asks for
  std::vector<SizeAnswer> answers;
  int defining = 0;
  if (given.size() == 1) {
    // One source is asked here: nothing to wait for but its answer.
    answers.push_back(
        LearnSize(given[0], [cancel] { return cancel != nullptr && cancel->load(); }));
    defining = answers[0].error.Failed() ? -1 : 0;
    if (defining == 0)
      sources->Add(answers[0].address, answers[0].validator, answers[0].peer);
  } else {
    for (const SourceAddress& source : given) sources->AddPending(source);
    asking.reset(new SizeRequests(
        *sources,
        [this](const SourceAddress& source, const StopTest& stopped) {
          return LearnSize(source, stopped);
        },
        [this](const std::string& line) { Note(line); }));
    asking->Begin();
    defining = asking->AwaitFile(cancel, answers);
  }
  if (defining < 0) {
    ReportFailure(answers[0].error, true);
    return false;
  }
  const SizeAnswer file = answers[static_cast<size_t>(defining)];
  DeleteStaleDownloads(platform::FolderOf(targetPath), kStaleDownloadSeconds);
  const bool own = !kept.ranges.empty();
  if (!own) ReadPartTable(targetPath, kMaxSegments, kept);
  const bool resume = SameFileAsKept(kept, own, listUrl, answers, defining);
  if (asking) {
    // A source that answers later joins only with the validator its bytes were fetched under.
    for (size_t i = 0; resume && i < kept.validators.size(); ++i)
      sources->Expect(static_cast<int>(i), kept.validators[i]);
    asking->Define(file.size);
  }
  {
    std::lock_guard<std::mutex> lock(peerMutex_);
    peerDescription_ = file.peer;
  }
  {
    ControlLock control(*this);
    totalSize_.store(file.size);
    // Taken over by SetupSegments once the old table's threads have ended: they read them.
    nextUrl_ = listUrl;
    nextValidator_ = file.validator;
    nextRequests_ = std::move(asking);
    nextSources_ = std::move(sources);
  }
  const SourceAddress& first = file.address;
  return SetupSegments(first.server.host, first.server.port, first.urlPrefix, first.fileName,
                       targetPath, segmentCount, resume ? &kept : nullptr);
}

namespace {

// Notes one request in the request log as it ends: "GET <url> range A- status S bytes B ms T"
// (range "-" for a request without one; "A- if-range" for a resumed one).
class RequestNote {
 public:
  RequestNote(const RequestLog& log, const std::string& url, uint64_t offset, bool ranged,
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

std::vector<DownloadSource> HttpDownloader::Sources() {
  ControlLock control(*this);
  return sources_ ? sources_->All() : std::vector<DownloadSource>();
}

DownloadError HttpDownloader::OpenConnection(const ServerAddress& server, const StopTest& stopped,
                                             Connection& connection) const {
  return routes_.Open(server, pinnedRoots_, stopped, connection);
}

SizeAnswer HttpDownloader::LearnSize(const SourceAddress& source, const StopTest& stopped) {
  SizeAnswer answer;
  answer.address = source;
  ServerAddress& server = answer.address.server;
  std::string& urlPrefix = answer.address.urlPrefix;
  std::string& fileName = answer.address.fileName;
  for (int hop = 0;; ++hop) {
    Connection connection;
    answer.error = OpenConnection(server, stopped, connection);
    if (answer.error.Failed()) return answer;
    answer.peer = server.secure ? "https, certificate " + connection.PeerSubject() : "http";
    // Only the size is wanted from this answer; its body is never read.
    std::string text;
    RequestNote note(requestLog_, urlPrefix + fileName, 0, false);
    DownloadError error =
        RequestFile(connection, server.HostField(), urlPrefix, fileName, 0, text, stopped);
    note.Answered(text);
    connection.Close();
    const ResponseHeader header = ParseResponseHeader(text);
    if (error.kind == DownloadErrorKind::Status && IsRedirect(error.status)) {
      answer.error = FollowRedirect(header, hop, answer.address);
      if (answer.error.Failed()) return answer;
      continue;
    }
    answer.error = error.Failed() ? error : SizeOf(header, answer.size);
    if (!answer.error.Failed()) answer.validator = ValidatorOf(header);
    return answer;
  }
}

DownloadError HttpDownloader::FollowRedirect(const ResponseHeader& header, int hop,
                                             SourceAddress& address) {
  const HttpField* location = header.Find("Location");
  if (location == nullptr)
    return MakeError(DownloadErrorKind::Redirect, "a redirect without a Location");
  if (hop == kMaxRedirects) return MakeError(DownloadErrorKind::Redirect, "more than 5 redirects");
  ServerAddress next = address.server;
  if (!FollowLocation(location->value, next, address.urlPrefix, address.fileName)) {
    return MakeError(DownloadErrorKind::Redirect,
                     "redirected to " + Printable(location->value) +
                         ", which is not an http or https address");
  }
  if (address.server.secure && !next.secure) {
    return MakeError(DownloadErrorKind::InsecureRedirect,
                     "redirected from https to plain http: " + Printable(location->value));
  }
  address.server = next;
  return DownloadError();
}

namespace {

// The answer to a range request is for the file whose bytes are already there: a whole file
// to an If-Range request, or a part whose validator is not the known one, means it changed.
DownloadError CheckSameFile(const ResponseHeader& header, const std::string& known,
                            bool conditional) {
  const std::string answered = ValidatorOf(header);
  const bool replaced = (conditional && header.status == 200) ||
                        (header.status == 206 && !known.empty() && !answered.empty() &&
                         answered != known);
  if (!replaced) return DownloadError();
  return MakeError(DownloadErrorKind::SizeChanged,
                   "the file changed on the server since its first bytes were fetched");
}

// Makes `to` fetch from where `from` fetches, the same way.
void SameServer(const DownloadSegment& from, DownloadSegment& to) {
  to.owner = from.owner;
  to.host = from.host;
  to.port = from.port;
  to.secure = from.secure;
  to.urlPrefix = from.urlPrefix;
  to.fileName = from.fileName;
  to.ifRange = from.ifRange;
  to.plainFirstRequest = false;
  to.source.store(from.source.load());
}

}  // namespace

bool HttpDownloader::SetupSegments(const std::string& host, int port,
                                   const std::string& urlPrefix, const std::string& fileName,
                                   const std::string& stem, int count, const PartTable* kept) {
  if (count < 1 || count > kMaxSegments) return false;
  SignalStop();
  ControlLock control(*this);
  // The old table's file goes, unless it is the one to continue (or already has its name).
  if (segments_) StopLocked(kept == nullptr || (!partStem_.empty() && partStem_ != stem));
  url_ = nextUrl_;
  validator_ = nextValidator_;
  const uint64_t total = totalSize_.load();
  file_.SetLog(requestLog_);
  if (kept != nullptr && !file_.Reopen(stem, total)) kept = nullptr;
  if (kept == nullptr) {
    const DownloadError error = file_.Create(stem, total);
    if (error.Failed()) {
      // No download: its sources are asked no more.
      nextRequests_.reset();
      ReportFailure(error, false);
      return false;
    }
  }

  if (nextSources_) {
    requests_ = std::move(nextRequests_);
    sources_ = std::move(nextSources_);
  } else {
    // A table set up without Start: its one server is the only source.
    SourceAddress only;
    only.server.host = host;
    only.server.port = port;
    only.urlPrefix = urlPrefix;
    only.fileName = fileName;
    requests_.reset();
    sources_.reset(new SourceList);
    sources_->Add(only, validator_);
  }
  std::unique_ptr<DownloadSegment[]> table(new DownloadSegment[kMaxSegments]);
  const uint64_t share = total / static_cast<uint64_t>(count);
  const int made = kept != nullptr ? static_cast<int>(kept->ranges.size()) : count;
  DownloadSegment& first = table[0];
  first.owner = this;
  uint64_t offset = 0;
  for (int i = 0; i < made; ++i) {
    DownloadSegment& segment = table[i];
    if (i > 0) SameServer(first, segment);
    // The first ranges on the first source, the rest round-robin.
    UseSource(segment, sources_->Spread(i, SteadyMs()));
    if (kept != nullptr) {
      // Only what the sidecar records is trusted; bytes past it are fetched again.
      const PartRange& range = kept->ranges[static_cast<size_t>(i)];
      segment.rangeStart = range.start;
      segment.rangeEnd.store(range.end);
      segment.bytesDone.store(range.done);
      segment.savedBytes = range.done;
      continue;
    }
    segment.plainFirstRequest = true;
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
  rangesIgnored_.store(false);
  partStem_ = stem;
  SaveProgress();
  return StartThreads();
}

PartTable HttpDownloader::TableLocked() const {
  PartTable table;
  table.url = url_;
  table.size = totalSize_.load();
  table.validator = validator_;
  // Each source's, for a list: a later run may find the first source down. A source not
  // answering now keeps what its bytes were fetched under.
  for (int i = 0; sources_ && sources_->Count() > 1 && i < sources_->Count(); ++i) {
    const DownloadSource source = sources_->At(i);
    table.validators.push_back(source.pending ? source.expected : source.validator);
  }
  // A split changes a range's end and adds the new range under this lock: the table seen here
  // always tiles the file.
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (int i = 0; segments_ && i < segmentCount_; ++i) {
    const DownloadSegment& segment = segments_[i];
    const uint64_t need = segment.Need();
    table.ranges.push_back(
        {segment.rangeStart, segment.rangeEnd.load(), std::min(segment.bytesDone.load(), need)});
  }
  return table;
}

void HttpDownloader::SaveProgress() {
  lastSaveMs_.store(SteadyMs());
  file_.SaveProgress(TableLocked());
}

void HttpDownloader::SaveProgressIfDue(DownloadSegment& segment) {
  const uint64_t done = segment.bytesDone.load();
  if (done - segment.savedBytes < kProgressSaveBytes &&
      SteadyMs() - lastSaveMs_.load() < kProgressSaveMs)
    return;
  segment.savedBytes = done;
  SaveProgress();
}

void HttpDownloader::StartThread(DownloadSegment& segment) {
  // Nothing measured before a pause, nor a leave asked of an earlier thread, holds for this one.
  segment.fetchStartMs.store(0);
  segment.slowSource.store(-1);
  // A source that joined while the download ran takes the next connection that starts.
  const int newcomer = sources_->TakeNewcomer(SteadyMs());
  if (newcomer >= 0) UseSource(segment, newcomer);
  segment.state.store(SegmentState::Running);
  try {
    segment.thread = std::thread(&HttpDownloader::SegmentThreadProc, this, std::ref(segment));
  } catch (const std::system_error&) {
    segment.state.store(SegmentState::Failed);
  }
}

bool HttpDownloader::StartThreads() {
  // No more connections than the limit: the others wait for a free one.
  for (int i = 0; i < segmentCount_; ++i) segments_[i].state.store(SegmentState::Waiting);
  for (int i = 0; i < segmentCount_ && i < connectionLimit_; ++i) StartThread(segments_[i]);
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].state.load() == SegmentState::Failed) return false;
  }
  return true;
}

bool HttpDownloader::StartWaitingLocked() {
  for (int i = 0; i < segmentCount_; ++i) {
    DownloadSegment& segment = segments_[i];
    if (segment.state.load() != SegmentState::Waiting) continue;
    // A waiting segment's earlier thread, if any, has ended: it is only reaped here.
    if (segment.thread.joinable()) segment.thread.join();
    StartThread(segment);
    return true;
  }
  return false;
}

void HttpDownloader::UseSource(DownloadSegment& segment, int index) const {
  const DownloadSource source = sources_->At(index);
  segment.source.store(index);
  segment.slowSource.store(-1);
  segment.host = source.address.server.host;
  segment.port = source.address.server.port;
  // The request line carries the absolute address: its scheme decides.
  segment.secure = IsSecureAddress(source.address.urlPrefix);
  segment.urlPrefix = source.address.urlPrefix;
  segment.fileName = source.address.fileName;
  segment.ifRange = source.validator;
}

bool HttpDownloader::FailOver(DownloadSegment& segment, const DownloadError& error) {
  if (sources_->Count() < 2) return false;
  const int64_t now = SteadyMs();
  const int failed = segment.source.load();
  // A source failed for slowness was counted and logged once, for all of its connections; it
  // still serves when no other source can.
  const bool slow = segment.slowSource.exchange(-1) == failed;
  if (!slow) FailSource(failed, error.reason, now);
  const int next = sources_->Choose(failed, now);
  if (next == failed) return slow;
  const std::string position = std::to_string(segment.rangeStart + segment.bytesDone.load());
  UseSource(segment, next);
  Note("range from " + position + " continues from " + sources_->At(next).Url());
  return true;
}

void HttpDownloader::FailSource(int index, const std::string& reason, int64_t nowMs) {
  const bool dropped = sources_->Fail(index, nowMs);
  Note("source " + sources_->At(index).Url() +
       (dropped ? " dropped after repeated failures: " : " failed: ") + reason);
}

void HttpDownloader::SegmentThreadProc(DownloadSegment& segment) {
  // A range that is in the file already needs no connection.
  if (segment.bytesDone.load() >= segment.Need()) {
    PrintFinishedLine();
    Finish(segment, SegmentState::Done);
    // Its connection is free like any other's.
    StealWork(segment);
    return;
  }
  // A source resting after a failure is skipped while another one can serve.
  const int chosen = sources_->Choose(segment.source.load(), SteadyMs());
  if (chosen != segment.source.load()) UseSource(segment, chosen);
  DownloadError error;
  uint64_t received = 0;
  do {
    const uint64_t existing = segment.bytesDone.load();
    segment.fetchStartMs.store(0);
    segment.fetchStartBytes.store(existing);
    segment.fetchStartMs.store(SteadyMs());
    received = 0;
    error = FetchRange(segment, existing, received);
    if (segment.state.load() == SegmentState::Stopped) return;
    if (error.IsLocal() || segment.bytesDone.load() >= segment.Need()) break;
    if (!error.Failed()) {
      error = MakeError(DownloadErrorKind::Closed,
                        "the connection ended before the segment's bytes were all there");
    }
  } while (FailOver(segment, error));

  if (error.IsLocal()) {
    // The file, not the connection, failed: every segment stops; what is written stays.
    ReportFailure(error, false);
    Finish(segment, SegmentState::Failed);
    StopOthers(segment);
    SaveProgress();
    return;
  }
  // Read again: a split may have moved the range's end meanwhile.
  if (segment.bytesDone.load() >= segment.Need()) {
    sources_->Succeeded(segment.source.load());
    Finish(segment, SegmentState::Done);
    SaveProgress();
    StealWork(segment);
    return;
  }
  ReportFailure(error, received < kStormBytes);
  Finish(segment, SegmentState::Failed);
  SaveProgress();
}

void HttpDownloader::StopOthers(const DownloadSegment& failed) {
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (int i = 0; segments_ && i < segmentCount_; ++i) {
    DownloadSegment& segment = segments_[i];
    if (&segment == &failed) continue;
    SegmentState running = SegmentState::Running;
    SegmentState waiting = SegmentState::Waiting;
    // Stopped, not Failed: they are continued with the failed one, when the user says so.
    if (!segment.state.compare_exchange_strong(running, SegmentState::Stopped))
      segment.state.compare_exchange_strong(waiting, SegmentState::Stopped);
  }
}

DownloadError HttpDownloader::FetchRange(DownloadSegment& segment, uint64_t existing,
                                         uint64_t& received) {
  // A source failed for slowness is left at once, as a stop would leave it.
  const StopTest stopped = [&segment] {
    return segment.state.load() == SegmentState::Stopped || segment.LeavingSource();
  };
  ServerAddress server;
  server.host = segment.host;
  server.port = segment.port;
  server.secure = segment.secure;
  Connection connection;
  const DownloadError unconnected = OpenConnection(server, stopped, connection);
  if (stopped() || unconnected.kind == DownloadErrorKind::Stopped) return DownloadError();
  if (unconnected.Failed()) return unconnected;

  const uint64_t offset = segment.rangeStart + existing;
  // Every range request but a fresh download's first ones is tied to the file whose bytes are
  // already there.
  const bool conditional = offset > 0 && !segment.ifRange.empty() && !segment.plainFirstRequest;
  segment.plainFirstRequest = false;
  std::string text;
  RequestNote note(requestLog_, segment.urlPrefix + segment.fileName, offset, offset > 0,
                   conditional);
  DownloadError error =
      RequestFile(connection, server.HostField(), segment.urlPrefix, segment.fileName, offset,
                  text, stopped, conditional ? segment.ifRange : std::string());
  note.Answered(text);
  if (error.Failed()) return error;
  const ResponseHeader header = ParseResponseHeader(text);
  error = CheckSameFile(header, segment.ifRange, conditional);
  if (error.Failed()) return error;
  if (offset > 0 && header.status == 200) rangesIgnored_.store(true);
  BodyPlan plan;
  error = PlanBody(header, offset, totalSize_.load(), plan);
  if (error.Failed()) return error;

  // Nothing is written before the answer is known to be for these bytes of this file.
  BodyReader body(connection, plan.coding, plan.lengthKnown, plan.length, stopped);
  std::vector<char> buffer(kChunkSize);
  uint64_t done = existing;
  while (segment.state.load() == SegmentState::Running && !segment.LeavingSource() &&
         done < segment.Need()) {
    int got = body.Read(buffer.data(), kChunkSize);
    if (got < 0) return body.Error();
    if (got == 0) break;
    const char* data = buffer.data();
    uint64_t count = static_cast<uint64_t>(got);
    if (plan.skip > 0) {
      const uint64_t passed = std::min(plan.skip, count);
      plan.skip -= passed;
      data += passed;
      count -= passed;
      if (count == 0) continue;
    }
    // A segment writes its range and nothing more: bytes past it are another segment's. The
    // end is read after the receive, as a split may just have moved it.
    const uint64_t need = segment.Need();
    if (done >= need) break;
    count = std::min(count, need - done);
    error = file_.WriteAt(segment.rangeStart + done, data, static_cast<size_t>(count));
    if (error.Failed()) return error;
    done += count;
    received += count;
    note.Received(received);
    segment.bytesDone.store(done);
    SaveProgressIfDue(segment);
    JudgeSourcesIfDue(SteadyMs());
  }
  return DownloadError();
}

void HttpDownloader::StealWork(DownloadSegment& segment) {
  std::unique_lock<std::mutex> lock(controlMutex_, std::defer_lock);
  // Control calls (a retry tick, another split) hold the lock a moment only. One that waits for
  // this thread has marked it stopped, or says it joins every thread.
  while (!lock.try_lock()) {
    if (segment.state.load() != SegmentState::Done || joining_.load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (segment.state.load() != SegmentState::Done) return;
  if (!StartWaitingLocked()) SplitLocked(segment);
}

bool HttpDownloader::SplitLocked(DownloadSegment& freeSegment) {
  const int count = segmentCount_.load();
  // Stopped meanwhile, or the table is full, or a new range would be read from byte 0.
  if (freeSegment.state.load() != SegmentState::Done || count >= kMaxSegments ||
      rangesIgnored_.load())
    return false;
  const int64_t now = SteadyMs();
  std::vector<RangeProgress> running;
  std::vector<int> indexes;
  // A failed segment gets its connection back when it is retried: it counts against the limit.
  int unfinished = 0;
  for (int i = 0; i < count; ++i) {
    const DownloadSegment& segment = segments_[i];
    const SegmentState state = segment.state.load();
    if (state == SegmentState::Failed || state == SegmentState::Waiting) ++unfinished;
    if (state != SegmentState::Running) continue;
    ++unfinished;
    running.push_back({segment.rangeStart + segment.bytesDone.load(), segment.rangeEnd.load(),
                       SegmentRate(segment, now)});
    indexes.push_back(i);
  }
  if (unfinished >= connectionLimit_) return false;
  const double freeRate = SegmentRate(freeSegment, now);
  SplitChoice choice;
  if (!ChooseSplit(running, freeRate, choice)) return false;
  DownloadSegment& victim = segments_[indexes[static_cast<size_t>(choice.victim)]];
  DownloadSegment& added = segments_[count];
  // The free connection's source has just served a whole range: the new one goes there.
  SameServer(freeSegment, added);
  added.rangeStart = choice.splitAt;
  added.rangeEnd.store(victim.rangeEnd.load());
  added.bytesDone.store(0);
  added.savedBytes = 0;
  added.assumedRate = freeRate;
  {
    std::lock_guard<std::mutex> table(tableMutex_);
    victim.rangeEnd.store(choice.splitAt);
    segmentCount_.store(count + 1);
  }
  StartThread(added);
  SaveProgress();
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
  if (!file_.IsOpen() && !file_.Reopen(partStem_, totalSize_.load())) {
    ReportFailure(MakeError(DownloadErrorKind::Quarantined,
                            DownloadPath(partStem_) + " is gone or changed while stopped"),
                  false);
    return false;
  }
  if (requests_) requests_->Begin();
  return StartThreads();
}

void HttpDownloader::SignalStop() {
  std::lock_guard<std::mutex> lock(tableMutex_);
  for (int i = 0; segments_ && i < segmentCount_; ++i)
    segments_[i].state.store(SegmentState::Stopped);
}

void HttpDownloader::JoinAll() {
  joining_.store(true);
  for (int i = 0; i < segmentCount_; ++i) {
    if (segments_[i].thread.joinable()) segments_[i].thread.join();
  }
  joining_.store(false);
}

bool HttpDownloader::StopLocked(bool deleteFiles) {
  if (!segments_) return false;
  for (int i = 0; i < segmentCount_; ++i) segments_[i].state.store(SegmentState::Stopped);
  if (requests_) requests_->End();
  JoinAll();
  if (deleteFiles) {
    file_.Delete();
  } else if (file_.IsOpen()) {
    // Held by nobody while stopped; the sidecar says what a later run may keep.
    SaveProgress();
    file_.Close();
  }
  return true;
}

bool HttpDownloader::Stop() {
  // Told before the lock, so that a commit waiting for the threads sees them end soon.
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
  uint64_t sum = 0;
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

uint64_t HttpDownloader::GetBytesDone() const {
  std::lock_guard<std::mutex> lock(tableMutex_);
  uint64_t sum = 0;
  // A range's bytes may run past its end (moved down by a split); counted only up to it, the
  // sum never falls.
  for (int i = 0; segments_ && i < segmentCount_; ++i)
    sum += std::min(segments_[i].bytesDone.load(), segments_[i].Need());
  return sum;
}

bool HttpDownloader::CommitFile(const std::string& targetPath) {
  ControlLock control(*this);
  if (!segments_) return false;
  // No time limit: the file is never renamed while a thread may still write it. Threads end by
  // themselves, or within the socket time-outs of a Stop.
  JoinAll();
  if (!IsFinished()) return false;
  if (requests_) requests_->End();
  const DownloadError error = file_.Commit(targetPath);
  if (!error.Failed()) {
    partStem_.clear();  // nothing of it is left to continue
    return true;
  }
  ReportFailure(error, false);
  return false;
}

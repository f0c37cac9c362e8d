#include "tasks/download_task.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/private_folder.h"
#include "platform/process.h"
#include "platform/program_check.h"
#include "tasks/install_log.h"
#include "download/source_list.h"
#include "tasks/url_utils.h"

namespace {

// Between two looks at a running download, and at a started program.
constexpr int kDownloadPollMs = 200;
constexpr int kProgramPollMs = 100;
// Looks near the end of a download come this often at most, so that a file that is all there
// does not wait out a whole poll before it is written.
constexpr int kFirstPollMs = 20;
constexpr int kEndPollMs = 10;

using Clock = std::chrono::steady_clock;

// How long to wait before the next look at a running download: the usual poll, or less when
// the rate seen since the last look says the bytes will be in before then. While no byte comes
// (the segments are still connecting, or stopped) the waits grow back to the usual poll.
int NextPollMs(uint64_t bytes, uint64_t previousBytes, uint64_t size,
               Clock::duration sincePrevious, int previousWaitMs) {
  const double seconds = std::chrono::duration<double>(sincePrevious).count();
  if (bytes <= previousBytes || seconds <= 0) return std::min(previousWaitMs * 2, kDownloadPollMs);
  const double bytesPerMs = (bytes - previousBytes) / (seconds * 1000);
  const double remainingMs = bytes < size ? (size - bytes) / bytesPerMs : 0;
  return static_cast<int>(std::clamp(remainingMs + kEndPollMs, double{kEndPollMs},
                                     double{kDownloadPollMs}));
}

// A write that met a full disk knows no sizes; the user is told the rest of the file and the
// room left on the download folder's volume.
DownloadError WithRoomStillNeeded(const DownloadError& error, uint64_t size, uint64_t done,
                                  const std::string& path) {
  if (error.kind != DownloadErrorKind::DiskFull || error.bytesNeeded != 0 || size == 0)
    return error;
  uint64_t available = 0;
  if (!platform::AvailableBytes(platform::FolderOf(path), available)) return error;
  return DiskFullError(size - std::min(done, size), available);
}

}  // namespace

bool BuildCommandLine(const std::string& programPath, const std::string& arguments,
                      std::string& commandLine) {
  // Quoted, so that a folder name with a blank cannot make the system start another program.
  char buffer[kCommandLineBufferSize];
  int length = arguments.empty()
                   ? std::snprintf(buffer, sizeof buffer, "\"%s\"", programPath.c_str())
                   : std::snprintf(buffer, sizeof buffer, "\"%s\" %s ", programPath.c_str(),
                                   arguments.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) return false;
  commandLine.assign(buffer, static_cast<size_t>(length));
  return true;
}

DownloadTask::DownloadTask(int segmentCount)
    : segmentCount_(segmentCount >= kMinTaskSegments && segmentCount <= kMaxTaskSegments
                        ? segmentCount
                        : kMinTaskSegments) {
  downloader_.SetRequestLog([](const std::string& line) { install_log::Write("REQUEST", line); });
}

DownloadTask::~DownloadTask() {
  {
    std::lock_guard<std::mutex> lock(control_);
    stopRequested_.store(true);
  }
  wake_.notify_all();
  JoinWorker();
  // The downloader stops its segment threads as it is destroyed; part files stay.
}

bool DownloadTask::AddItem(std::string url, std::string localPath, uint64_t size,
                           int runAfterDownload, std::string arguments) {
  if (workerRunning_.load()) return false;
  for (const auto& item : items_) {
    if (platform::CompareNoCase(item->url, url) == 0) return false;
  }
  auto item = std::make_unique<DownloadItem>();
  item->url = std::move(url);
  item->localPath = std::move(localPath);
  item->size.store(size);
  item->runAfterDownload = runAfterDownload;
  item->arguments = std::move(arguments);
  items_.push_back(std::move(item));
  return true;
}

void DownloadTask::Start() {
  if (worker_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(control_);
      stopRequested_.store(true);
    }
    wake_.notify_all();
    JoinWorker();
  }
  {
    std::lock_guard<std::mutex> lock(control_);
    stopRequested_.store(false);
    paused_ = false;
    phase_ = Phase::Preparing;
  }
  failed_.store(false);
  refusal_.store(platform::ProgramCheck::Ok);
  refusals_ = 0;
  lostFiles_ = 0;
  programExitCode_.store(0);
  for (const auto& item : items_) {
    item->launched = false;
    item->wholeFrom = -1;
    item->wholeFailures = 0;
    item->wholeRefused = false;
  }
  progress_.currentItem.store(nullptr);
  progress_.itemCount.store(static_cast<uint32_t>(items_.size()));
  progress_.itemsDone.store(0);
  progress_.currentBytesDone.store(0);
  progress_.currentSize.store(0);
  progress_.bytesDone.store(0);
  progress_.completedBytes.store(0);
  SumSizes();

  workerRunning_.store(true);
  try {
    worker_ = std::thread(&DownloadTask::Worker, this);
  } catch (const std::system_error&) {
    workerRunning_.store(false);
    SetPhase(Phase::Idle);
  }
}

void DownloadTask::Pause() {
  std::lock_guard<std::mutex> lock(control_);
  if (!workerRunning_.load()) return;
  // While a download is being started, the pause takes hold as soon as it is under way.
  if (phase_ == Phase::Preparing) {
    paused_ = true;
    return;
  }
  if (phase_ != Phase::Downloading || downloader_.IsFinished()) return;
  paused_ = true;
  if (!segmentsStopped_) {
    downloader_.Stop();
    segmentsStopped_ = true;
  }
}

void DownloadTask::Resume() {
  std::lock_guard<std::mutex> lock(control_);
  if (!paused_) return;
  paused_ = false;
  // Restart only ever follows the Stop that this pause made.
  if (phase_ == Phase::Downloading && segmentsStopped_) {
    downloader_.Restart();
    segmentsStopped_ = false;
  }
}

void DownloadTask::Stop() {
  {
    std::lock_guard<std::mutex> lock(control_);
    stopRequested_.store(true);
  }
  wake_.notify_all();
  // The worker stops the segment threads as it ends; then nothing else touches the parts.
  // A worker that had ended already may have left parts too: they go as well.
  JoinWorker();
  std::lock_guard<std::mutex> lock(control_);
  downloader_.StopAndDeleteParts();
  segmentsStopped_ = true;
}

bool DownloadTask::IsFinished() const {
  if (workerRunning_.load() || !downloader_.IsFinished()) return false;
  for (const auto& item : items_) {
    if (item->state.load() != ItemState::Done) return false;
  }
  return true;
}

bool DownloadTask::HasFailed() const { return failed_.load() && !workerRunning_.load(); }

DownloadError DownloadTask::LastError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastError_;
}

void DownloadTask::NoteError(const DownloadError& error) {
  if (!error.Failed() || error.kind == DownloadErrorKind::Stopped) return;
  std::lock_guard<std::mutex> lock(errorMutex_);
  // A failure that repeats (a server that stays away) is logged when it first comes.
  if (error.kind != lastError_.kind || error.reason != lastError_.reason)
    install_log::Writef("FAIL", "%s: %s", DownloadErrorKindName(error.kind), error.reason.c_str());
  lastError_ = error;
}

void DownloadTask::GiveUp(DownloadItem& item, const DownloadError& failure) {
  const DownloadError error = WithRoomStillNeeded(failure, item.size.load(),
                                                  downloader_.GetBytesDone(), item.localPath);
  install_log::Writef("FAIL", "gave up on %s: %s", item.url.c_str(), error.reason.c_str());
  NoteError(error);
  // Once the user has freed space, Start continues the item from what it holds.
  item.state.store(error.kind == DownloadErrorKind::DiskFull ? ItemState::Pending
                                                             : ItemState::Failed);
  failed_.store(true);
}

bool DownloadTask::WholeSourceDown(DownloadItem& item, const FailureReport& report) {
  if (report.error.IsLocal()) return false;
  if (report.error.IsPermanent()) return true;
  item.wholeFailures = report.unproductive ? item.wholeFailures + 1 : 0;
  return item.wholeFailures >= kMaxSourceFailures;
}

bool DownloadTask::NextWholeSource(DownloadItem& item, const DownloadError& why) {
  const std::vector<std::string> urls = SplitSourceList(item.url);
  install_log::Writef("SOURCE", "source %s could not be checked: %s",
                      urls[static_cast<size_t>(item.wholeFrom) % urls.size()].c_str(),
                      why.reason.c_str());
  item.wholeFailures = 0;
  if (++item.wholeFrom < static_cast<int>(urls.size())) return true;
  if (!item.wholeRefused) {
    // No source answered: the network failed, not the check.
    refusal_.store(platform::ProgramCheck::Ok);
    GiveUp(item, why);
    return false;
  }
  install_log::Writef("FAIL", "gave up on %s: no source's copy of the file passed the check",
                      item.url.c_str());
  item.state.store(ItemState::Failed);
  failed_.store(true);
  return false;
}

bool DownloadTask::DeletePartFiles() {
  if (workerRunning_.load()) return false;
  JoinWorker();
  std::lock_guard<std::mutex> lock(control_);
  segmentsStopped_ = true;
  return downloader_.StopAndDeleteParts();
}

bool DownloadTask::DeleteDownloadedFiles() {
  if (workerRunning_.load()) return false;
  JoinWorker();
  bool deleted = true;
  for (const auto& item : items_) {
    if (item->localPath.empty() || !platform::PathExists(item->localPath)) continue;
    platform::SetReadOnly(item->localPath, false);
    deleted = platform::RemoveFile(item->localPath) && deleted;
  }
  return deleted;
}

void DownloadTask::SetRetryDelays(const RetryDelays& delays) {
  firstDelayMs_.store(std::max(1, delays.firstMs));
  maxDelayMs_.store(std::max(firstDelayMs_.load(), delays.maxMs));
}

DownloadItem* DownloadTask::FindPendingItem() const {
  for (const auto& item : items_) {
    if (item->state.load() == ItemState::Pending) return item.get();
  }
  return nullptr;
}

bool DownloadTask::PathOfAnotherItem(const DownloadItem& item, const std::string& path) const {
  for (const auto& other : items_) {
    // Windows file names ignore letter case.
    if (other.get() != &item && !other->localPath.empty() &&
        platform::CompareNoCase(other->localPath, path) == 0)
      return true;
  }
  return false;
}

bool DownloadTask::PrepareItem(DownloadItem* item) {
  if (item == nullptr || item->state.load() != ItemState::Pending) return false;
  std::vector<std::string> urls = SplitSourceList(item->url);
  if (urls.empty()) urls.push_back(item->url);
  if (item->wholeFrom >= 0) {
    urls = {urls[static_cast<size_t>(item->wholeFrom) % urls.size()]};
    install_log::Writef("SOURCE", "fetching the whole file from %s", urls[0].c_str());
  }
  std::vector<SourceAddress> sources;
  for (const std::string& url : urls) {
    const UrlParts source = SplitUrl(url);
    SourceAddress address;
    address.server.host = source.host;
    address.server.port = source.port;
    address.server.secure = source.secure;
    address.urlPrefix = source.urlPrefix;
    address.fileName = source.fileName;
    sources.push_back(address);
  }
  const SourceAddress& first = sources.front();
  // A file another item of the list was written to is never replaced (the temporary path
  // replaces what it finds): this item takes a "_tmp" name beside it.
  std::string localName = first.fileName;
  while (PathOfAnotherItem(*item, platform::DownloadFolder() + localName)) localName += kTmpSuffix;
  const std::string targetPath = MakeTempDownloadPath(localName);
  bool ok = downloader_.Start(sources, targetPath, segmentCount_, &stopRequested_);
  if (ok && sources.size() == 1 && first.server.secure) {
    install_log::Writef("TLS", "%s: %s", first.server.host.c_str(),
                        downloader_.PeerDescription().c_str());
  } else if (ok && sources.size() > 1) {
    // Each source over TLS has its own certificate: the line names the host it was met at.
    // A source that has not answered yet, or showed another file, was met at no handshake.
    for (const DownloadSource& used : downloader_.Sources()) {
      if (!used.address.server.secure || used.pending || used.dropped) continue;
      install_log::Writef("TLS", "%s: %s", used.address.server.host.c_str(), used.peer.c_str());
    }
  }
  if (ok && downloader_.GetTotalSize() > 0) {
    progress_.currentItem.store(item);
    item->size.store(downloader_.GetTotalSize());
    SumSizes();
  }
  if (ok && item->localPath.empty()) item->localPath = targetPath;
  progress_.currentSize.store(item->size.load());
  return ok;
}

void DownloadTask::Worker() {
  {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastError_ = DownloadError();
  }
  DownloadItem* item = FindPendingItem();
  // The file on the server changed under the download (or proved shorter: 416): it is
  // learned again, a few times.
  int sizeChanges = 0;
  int rangeRefusals = 0;
  while (item != nullptr && !stopRequested_.load()) {
    if (!StartDownload(*item)) break;
    FinishResult result = FetchAndWrite(*item);
    if (result == FinishResult::NextSource) {
      StartOver(*item);
      continue;
    }
    if (result == FinishResult::StartOver) {
      const DownloadError why = LastError();
      const bool refused = why.kind == DownloadErrorKind::Status;
      if ((refused && ++rangeRefusals > kMaxRangeRefusals) ||
          (!refused && ++sizeChanges > kMaxStartOvers)) {
        GiveUp(*item, MakeError(why.kind, why.reason + ", again after starting over"));
        break;
      }
      StartOver(*item);
      continue;
    }
    if (result != FinishResult::Written) break;
    sizeChanges = 0;
    rangeRefusals = 0;
    if (AllItemsDone()) {
      if (LaunchPrograms() != LaunchResult::DownloadAgain) break;
    }
    item = FindPendingItem();
  }
  EndWorker();
}

DownloadTask::FinishResult DownloadTask::FetchAndWrite(DownloadItem& item) {
  switch (FollowDownload(item)) {
    case FollowResult::StartOver: return FinishResult::StartOver;
    case FollowResult::NextSource: return FinishResult::NextSource;
    case FollowResult::GaveUp: return FinishResult::GaveUp;
    case FollowResult::Stopped: return FinishResult::Stopped;
    case FollowResult::Finished: break;
  }
  return FinishItem(item);
}

void DownloadTask::StartOver(DownloadItem& item) {
  item.state.store(ItemState::Pending);
  {
    std::lock_guard<std::mutex> lock(control_);
    downloader_.StopAndDeleteParts();
    segmentsStopped_ = true;
    phase_ = Phase::Preparing;
  }
  progress_.currentBytesDone.store(0);
  progress_.bytesDone.store(progress_.completedBytes.load());
}

bool DownloadTask::StartDownload(DownloadItem& item) {
  // Elevated, the download must go where only administrators write; without such a folder it
  // goes nowhere (not to the current folder).
  if (platform::DownloadFolder().empty()) {
    GiveUp(item, MakeError(DownloadErrorKind::NotWritable, platform::DownloadFolderRule()));
    return false;
  }
  int delay = firstDelayMs_.load();
  while (!stopRequested_.load()) {
    SetPhase(Phase::Preparing);
    bool ok = PrepareItem(&item);
    std::unique_lock<std::mutex> lock(control_);
    if (ok) {
      item.state.store(ItemState::Downloading);
      phase_ = Phase::Downloading;
      segmentsStopped_ = false;
      if (paused_ || stopRequested_.load()) {
        downloader_.Stop();
        segmentsStopped_ = true;
      }
      return !stopRequested_.load();
    }
    // A start that failed half-way may have segment threads running: they would fetch for
    // nothing until the next attempt replaces them. Their parts stay for that attempt, which
    // continues them when the server's file is still the same.
    downloader_.Stop();
    segmentsStopped_ = true;
    lock.unlock();
    const FailureReport report = downloader_.TakeFailures();
    NoteError(report.error);
    if (item.wholeFrom >= 0 && WholeSourceDown(item, report)) {
      if (!NextWholeSource(item, report.error)) return false;
      delay = firstDelayMs_.load();
      continue;
    }
    if (report.error.IsPermanent()) {
      GiveUp(item, report.error);
      return false;
    }
    if (!Wait(HonourRetryAfter(report.error, Jitter(NextDelay(delay))))) return false;
  }
  return false;
}

DownloadTask::FollowResult DownloadTask::FollowDownload(DownloadItem& item) {
  // Failed segments are fetched again after a pause: short while connections bring data,
  // longer and longer while they end with little (a storm of tiny answers is no progress).
  int backoff = kDownloadPollMs;
  bool recoveryDue = false;
  Clock::time_point recoverAt = Clock::now();
  int waitMs = kFirstPollMs / 2;  // so that the first wait is kFirstPollMs
  uint64_t lastBytes = 0;
  Clock::time_point lastPass = Clock::now();
  while (true) {
    {
      std::lock_guard<std::mutex> lock(control_);
      if (stopRequested_.load()) return FollowResult::Stopped;
      // A paused download has every segment stopped; Resume starts them all again.
      if (!paused_ && downloader_.HasFailed()) {
        if (!recoveryDue) {
          const FailureReport report = downloader_.TakeFailures();
          NoteError(report.error);
          if (item.wholeFrom >= 0 && WholeSourceDown(item, report)) {
            return NextWholeSource(item, report.error) ? FollowResult::NextSource
                                                       : FollowResult::GaveUp;
          }
          if (report.error.IsPermanent()) {
            GiveUp(item, report.error);
            return FollowResult::GaveUp;
          }
          if (report.error.NeedsStartOver()) return FollowResult::StartOver;
          recoverAt = Clock::now() + std::chrono::milliseconds(RecoveryDelay(report, backoff));
          recoveryDue = true;
        } else if (Clock::now() >= recoverAt) {
          downloader_.RetryFailed();
          recoveryDue = false;
        }
      } else if (downloader_.IsFinished()) {
        phase_ = Phase::Writing;
        return FollowResult::Finished;
      }
    }
    const uint64_t bytes = downloader_.GetBytesDone();
    const uint64_t current = std::min(bytes, item.size.load());
    progress_.currentBytesDone.store(current);
    progress_.bytesDone.store(progress_.completedBytes.load() + current);
    const Clock::time_point now = Clock::now();
    waitMs = NextPollMs(bytes, lastBytes, item.size.load(), now - lastPass, waitMs);
    lastBytes = bytes;
    lastPass = now;
    int pause = waitMs;
    if (recoveryDue) {
      const auto untilRecovery =
          std::chrono::duration_cast<std::chrono::milliseconds>(recoverAt - now).count();
      pause = static_cast<int>(std::clamp<long long>(untilRecovery, 1, pause));
    }
    if (!Wait(pause)) return FollowResult::Stopped;
  }
}

int DownloadTask::HonourRetryAfter(const DownloadError& error, int backoffMs) {
  // The server may ask for a longer pause, never for a shorter one: "Retry-After: 0" from a
  // busy server would otherwise be a request every poll for ever.
  return std::max(backoffMs, error.retryAfterSeconds * 1000);
}

int DownloadTask::RecoveryDelay(const FailureReport& report, int& backoff) {
  if (report.error.retryAfterSeconds >= 0) {
    const int now = backoff;
    backoff = std::min(backoff * 2, maxDelayMs_.load());
    return HonourRetryAfter(report.error, Jitter(now));
  }
  if (!report.unproductive) {
    backoff = kDownloadPollMs;
    return kDownloadPollMs;
  }
  const int now = backoff;
  backoff = std::min(backoff * 2, maxDelayMs_.load());
  return Jitter(now);
}

DownloadTask::FinishResult DownloadTask::FinishItem(DownloadItem& item) {
  // Bytes past the file's end (the last chunk of a segment is kept whole) are not counted.
  const uint64_t current = std::min<uint64_t>(downloader_.GetBytesDone(), item.size.load());
  progress_.currentBytesDone.store(current);
  BeforeCommit(item);
  if (!downloader_.CommitFile(item.localPath)) {
    const DownloadError why = downloader_.TakeFailures().error;
    NoteError(why);
    if (stopRequested_.load()) return FinishResult::Stopped;
    if (!MayDownloadAgain(item, why)) return FinishResult::GaveUp;
    return FinishResult::StartOver;
  }
  item.state.store(ItemState::Done);
  progress_.completedBytes.store(progress_.completedBytes.load() + current);
  progress_.bytesDone.store(progress_.completedBytes.load());
  progress_.itemsDone.store(progress_.itemsDone.load() + 1);
  return FinishResult::Written;
}

bool DownloadTask::MayDownloadAgain(DownloadItem& item, const DownloadError& why) {
  if (++lostFiles_ > kMaxLostFiles || why.kind == DownloadErrorKind::DiskFull) {
    GiveUp(item, why);
    return false;
  }
  install_log::Writef("FAIL", "%s: %s; downloading it once more", item.localPath.c_str(),
                      why.reason.c_str());
  int delay = firstDelayMs_.load();
  return Wait(Jitter(NextDelay(delay)));
}

DownloadTask::LaunchResult DownloadTask::LaunchPrograms() {
  SetPhase(Phase::Launching);
  for (const auto& item : items_) {
    if (stopRequested_.load()) return LaunchResult::Stopped;
    if (item->runAfterDownload == 0 || item->launched) continue;
    const LaunchResult result = RunProgram(*item);
    if (result != LaunchResult::Ran) return result;
  }
  return LaunchResult::Ran;
}

DownloadTask::LaunchResult DownloadTask::RunProgram(DownloadItem& item) {
  progress_.currentItem.store(&item);
  platform::Process program;
  int delay = firstDelayMs_.load();
  while (true) {
    item.state.store(ItemState::Busy);
    // Held from before the check until the program has started: nobody can change the file
    // in between, so the program that starts is the one that was checked.
    platform::HeldFile file;
    bool gone = false;
    if (!OpenForCheck(item, file, gone) && gone) return LoseProgram(item);
    platform::ProgramFacts facts;
    const platform::ProgramCheck check = platform::CheckProgram(file, policy_, &facts);
    install_log::Writef("CHECK", "%s: %s; signer \"%s\"; sha256 %s", item.localPath.c_str(),
                        platform::ProgramCheckText(check), facts.signer.c_str(),
                        facts.sha256.empty() ? "not pinned" : facts.sha256.c_str());
    if (check != platform::ProgramCheck::Ok) {
      file.Close();
      return RefuseProgram(item, check);
    }
    std::string commandLine;
    const bool built = BuildCommandLine(item.localPath, item.arguments, commandLine);
    if (built && platform::MakeRunnable(item.localPath) && program.Start(commandLine)) {
      install_log::Write("LAUNCH", commandLine);
      break;
    }
    install_log::Write("FAIL", built ? "could not start " + commandLine
                                     : "the command line for " + item.localPath + " is too long");
    file.Close();
    item.state.store(ItemState::Failed);
    if (!Wait(NextDelay(delay))) return LaunchResult::Stopped;
  }
  item.launched = true;
  uint32_t exitCode = 0;
  while (program.Poll(&exitCode) == platform::ProcessState::Running) {
    if (!Wait(kProgramPollMs)) {
      // Stopped: the program goes on without us.
      item.state.store(ItemState::Failed);
      return LaunchResult::Stopped;
    }
  }
  install_log::Writef("EXIT", "%s ended with exit code %u", item.localPath.c_str(), exitCode);
  programExitCode_.store(exitCode);
  item.state.store(ItemState::Done);
  return LaunchResult::Ran;
}

DownloadTask::LaunchResult DownloadTask::RefuseProgram(DownloadItem& item,
                                                       platform::ProgramCheck check) {
  refusal_.store(check);
  install_log::Writef("FAIL", "refused %s: %s; deleted, never started", item.localPath.c_str(),
                      platform::ProgramCheckText(check));
  platform::SetReadOnly(item.localPath, false);
  platform::RemoveFile(item.localPath);
  // The parts go too: they hold the refused bytes, and a new download starts from byte 0.
  {
    std::lock_guard<std::mutex> lock(control_);
    downloader_.StopAndDeleteParts();
    segmentsStopped_ = true;
  }
  // A file assembled from several sources: each is tried alone, in list order, so that the
  // one serving other bytes is found.
  const std::vector<std::string> urls = SplitSourceList(item.url);
  const int sourceCount = static_cast<int>(urls.size());
  if (item.wholeFrom >= 0 && sourceCount > 1) {
    item.wholeRefused = true;
    install_log::Writef("SOURCE", "bad source: %s served the refused file",
                        urls[static_cast<size_t>(item.wholeFrom)].c_str());
  }
  if (check != platform::ProgramCheck::NotAProgram && item.wholeFrom < sourceCount - 1 &&
      sourceCount > 1) {
    if (item.wholeFrom < 0) {
      install_log::Writef("SOURCE", "the file assembled from %d sources was refused; each is "
                          "fetched whole, one at a time", sourceCount);
    }
    ++item.wholeFrom;
    item.wholeFailures = 0;
    return DownloadAgain(item);
  }
  // A page that is no program at all will be no program next time either.
  if (check == platform::ProgramCheck::NotAProgram || sourceCount > 1 || ++refusals_ > 1) {
    item.state.store(ItemState::Failed);
    failed_.store(true);
    return LaunchResult::Refused;
  }
  return DownloadAgain(item);
}

DownloadTask::LaunchResult DownloadTask::LoseProgram(DownloadItem& item) {
  const DownloadError why =
      MakeError(DownloadErrorKind::Quarantined,
                item.localPath + " was taken away after it was downloaded (security software?)");
  NoteError(why);
  {
    std::lock_guard<std::mutex> lock(control_);
    downloader_.StopAndDeleteParts();
    segmentsStopped_ = true;
  }
  if (!MayDownloadAgain(item, why)) return LaunchResult::Refused;
  return DownloadAgain(item);
}

bool DownloadTask::OpenForCheck(const DownloadItem& item, platform::HeldFile& file, bool& gone) {
  const platform::FileFault fault = RetryWhileBusy(
      [&] {
        if (file.Open(item.localPath)) return platform::FileFault::None;
        // There but not to be opened: a scanner holds it while it checks the new program.
        return platform::PathExists(item.localPath) ? platform::FileFault::Busy
                                                    : platform::FileFault::Missing;
      },
      "opening " + item.localPath + " for its check",
      [](const std::string& line) { install_log::Write("WAIT", line); },
      [this] { return stopRequested_.load(); });
  gone = fault == platform::FileFault::Missing;
  return fault == platform::FileFault::None;
}

DownloadTask::LaunchResult DownloadTask::DownloadAgain(DownloadItem& item) {
  SetPhase(Phase::Preparing);
  const uint64_t completed = progress_.completedBytes.load();
  progress_.completedBytes.store(completed - std::min(item.size.load(), completed));
  progress_.itemsDone.store(progress_.itemsDone.load() - 1);
  progress_.currentBytesDone.store(0);
  progress_.bytesDone.store(progress_.completedBytes.load());
  item.state.store(ItemState::Pending);
  return LaunchResult::DownloadAgain;
}

void DownloadTask::EndWorker() {
  {
    std::lock_guard<std::mutex> lock(control_);
    if (phase_ == Phase::Downloading && !segmentsStopped_) {
      downloader_.Stop();
      segmentsStopped_ = true;
    }
    phase_ = Phase::Idle;
  }
  // An item whose download was cut short starts again with the next Start.
  for (const auto& item : items_) {
    if (item->state.load() == ItemState::Downloading) item->state.store(ItemState::Pending);
  }
  workerRunning_.store(false);
}

void DownloadTask::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

bool DownloadTask::Wait(int ms) {
  std::unique_lock<std::mutex> lock(control_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms),
                         [this] { return stopRequested_.load(); });
}

int DownloadTask::Jitter(int ms) {
  std::uniform_int_distribution<int> less(0, ms / 4);
  return ms - less(random_);
}

int DownloadTask::NextDelay(int& delay) const {
  const int now = delay;
  delay = std::min(delay * 2, maxDelayMs_.load());
  return now;
}

bool DownloadTask::AllItemsDone() const {
  for (const auto& item : items_) {
    if (item->state.load() != ItemState::Done) return false;
  }
  return true;
}

void DownloadTask::SumSizes() {
  uint64_t total = 0;
  for (const auto& item : items_) total += item->size.load();
  progress_.bytesTotal.store(total);
}

void DownloadTask::SetPhase(Phase phase) {
  std::lock_guard<std::mutex> lock(control_);
  phase_ = phase;
}

// The ordered list of files to fetch, worked through by one thread of its own: each file is
// downloaded in segments by the task's one HttpDownloader, recovered when a segment fails,
// written to its local path, and once every file is there, each file marked to run is started
// with its arguments and waited for. Callers watch the live progress block.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "download/http_downloader.h"
#include "platform/program_check.h"

enum class ItemState : uint32_t { Pending = 0, Downloading = 1, Done = 2, Busy = 3, Failed = 4 };

// One file of the list. The worker alone changes an item while it runs; `state` and `size` may
// be read at any time, `localPath` once the task has stopped running.
struct DownloadItem {
  std::string url;
  std::string localPath;  // empty: the temporary path the download picks, stored here then
  std::atomic<uint64_t> size{0};
  int runAfterDownload = 0;
  std::string arguments;
  bool launched = false;  // the worker's own: the program has run (it is not run twice)
  // The worker's own: -1 while the file is fetched from all of its sources (`url` may list
  // several, separated by ";"); else the one source it is fetched whole from, after a file
  // assembled from several was refused.
  int wholeFrom = -1;
  // The worker's own, in that whole-file pass: failures in a row of the source in turn that
  // brought nothing, and whether a source's whole copy was refused.
  int wholeFailures = 0;
  bool wholeRefused = false;
  std::atomic<ItemState> state{ItemState::Pending};
};

// What callers poll while the worker runs; every field is written whole.
struct TaskProgress {
  std::atomic<DownloadItem*> currentItem{nullptr};
  std::atomic<uint32_t> itemCount{0};
  std::atomic<uint32_t> itemsDone{0};
  // Byte counts are 64-bit, as the download's: a file may pass 4 GiB.
  std::atomic<uint64_t> currentBytesDone{0};
  std::atomic<uint64_t> currentSize{0};
  std::atomic<uint64_t> bytesDone{0};
  std::atomic<uint64_t> bytesTotal{0};
  std::atomic<uint64_t> completedBytes{0};
};

// Waits between attempts that failed: the first `firstMs`, then twice the previous, at most
// `maxMs`.
struct RetryDelays {
  int firstMs = 1000;
  int maxMs = 30000;
};

// Longest command line a started program gets, its terminating zero included (MAX_PATH).
constexpr size_t kCommandLineBufferSize = 260;
// Segments per file a task takes.
constexpr int kMinTaskSegments = 1;
constexpr int kMaxTaskSegments = 20;
// How often an item is downloaded again because its finished file could not be read or
// renamed, or was taken away (security software), before the item ends with that error.
constexpr int kMaxLostFiles = 1;
// How often an item starts over because the file on the server changed before it gives up,
// and because the server refused a range as beyond the file (416).
constexpr int kMaxStartOvers = 2;
constexpr int kMaxRangeRefusals = 1;

// The command line for a downloaded program: its path in quotes, a blank, the arguments and a
// blank; just the quoted path when there are no arguments. False when it would not fit in
// kCommandLineBufferSize bytes: it is never cut.
bool BuildCommandLine(const std::string& programPath, const std::string& arguments,
                      std::string& commandLine);

class DownloadTask {
 public:
  // Segments per file: kMinTaskSegments to kMaxTaskSegments, anything else becomes 1.
  explicit DownloadTask(int segmentCount);
  virtual ~DownloadTask();
  DownloadTask(const DownloadTask&) = delete;
  DownloadTask& operator=(const DownloadTask&) = delete;

  // Appends a file; false when an item has the same URL in any letter case. Items are added
  // while the task does not run (false otherwise).
  bool AddItem(std::string url, std::string localPath, uint64_t size, int runAfterDownload,
               std::string arguments);

  // Starts the worker over the items as they stand (an earlier worker is stopped first).
  void Start();
  // Halts the transfer of a download in progress, keeping its parts; Resume goes on from them.
  void Pause();
  void Resume();
  // Ends the worker, deleting the running download's part files. A started program goes on.
  void Stop();

  const TaskProgress& GetProgress() const { return progress_; }
  // The files are written, the programs have run, and the worker has ended.
  bool IsFinished() const;
  // The worker ended giving up on an item: an error that trying again cannot mend (the
  // downloaded program refused by its check included).
  bool HasFailed() const;
  // Why the item gave up, or else the last failure seen (None when there was none).
  DownloadError LastError() const;
  // Why the last downloaded program was refused, Ok when none was. A refused program is
  // deleted and never started; it is downloaded once more from scratch (its parts may have
  // been damaged), except a file that is no program at all, which ends the item at once.
  platform::ProgramCheck GetRefusal() const { return refusal_.load(); }
  bool IsRunning() const { return workerRunning_.load(); }
  // The exit code of the last program the task ran to its end in this Start; 0 before one has.
  uint32_t GetProgramExitCode() const { return programExitCode_.load(); }

  size_t ItemCount() const { return items_.size(); }
  const DownloadItem* ItemAt(size_t index) const { return items_[index].get(); }

  // Deletes the part files the last download left behind, once the worker has ended (the
  // written files stay). False while the worker runs.
  bool DeletePartFiles();
  // Deletes the files the items were written to, once the worker has ended: what an install
  // leaves behind when its programs have run. False while the worker runs.
  bool DeleteDownloadedFiles();

  // How long failed starts, failed writes and failed launches wait before the next attempt.
  void SetRetryDelays(const RetryDelays& delays);
  // What a downloaded program must pass before it is started; the build's policy unless set.
  // Set while the task does not run.
  void SetProgramPolicy(const platform::ProgramPolicy& policy) { policy_ = policy; }
  // The only roots (PEM text) an https server's certificate may lead to; empty: the system's.
  // The build's roots (VANTREO_TLS_ROOTS) unless set. Set while the task does not run.
  void SetPinnedRoots(const std::string& pem) { downloader_.SetPinnedRoots(pem); }

 protected:
  // Called on the worker thread just before an item's whole download file gets its name. A
  // class that overrides it stops the task in its own destructor.
  virtual void BeforeCommit(const DownloadItem&) {}

  DownloadItem* FindPendingItem() const;
  // One attempt at starting an item's download; true when it is under way.
  bool PrepareItem(DownloadItem* item);

 private:
  // What the worker is doing, as far as Pause, Resume and Stop care.
  enum class Phase { Idle, Preparing, Downloading, Writing, Launching };
  // NextSource: the whole-file pass goes on with the item's next source.
  enum class FinishResult { Written, StartOver, NextSource, GaveUp, Stopped };
  enum class FollowResult { Finished, StartOver, NextSource, GaveUp, Stopped };
  enum class LaunchResult { Ran, DownloadAgain, Refused, Stopped };

  void Worker();
  // Whether an item other than `item` has `path` as its local file.
  bool PathOfAnotherItem(const DownloadItem& item, const std::string& path) const;
  // Starts the item's download, retrying with pauses; false when told to stop.
  bool StartDownload(DownloadItem& item);
  // Follows the download, mending failed segments, until it is finished, must start over,
  // cannot go on, or the task is told to stop.
  FollowResult FollowDownload(DownloadItem& item);
  // The pause before the next recovery after `report`; `delay` grows while failures bring
  // nothing.
  int RecoveryDelay(const FailureReport& report, int& delay);
  // The pause before the next attempt: the back-off's, or longer when the server asks for it.
  static int HonourRetryAfter(const DownloadError& error, int backoffMs);
  // Ends the item with an error that trying again cannot mend.
  void GiveUp(DownloadItem& item, const DownloadError& error);
  // In the whole-file pass, whether the source in turn is down after `report`: a failure that
  // trying again cannot mend (not one of this computer's), or kMaxSourceFailures in a row that
  // brought nothing.
  static bool WholeSourceDown(DownloadItem& item, const FailureReport& report);
  // The source in turn could not be checked (`why`): the pass goes on with the next one in list
  // order. False when it was the last: the item ends, refused when a source's copy was, else
  // with `why`.
  bool NextWholeSource(DownloadItem& item, const DownloadError& why);
  void NoteError(const DownloadError& error);
  // Follows the download and gives the whole file its name.
  FinishResult FetchAndWrite(DownloadItem& item);
  // Gives the item's whole download file its name and counts it; a file that cannot be, or
  // was taken away, is downloaded again once.
  FinishResult FinishItem(DownloadItem& item);
  // A finished file that was lost (unreadable, taken away): true when it may be downloaded
  // once more, after a pause; otherwise the item ends with `why`.
  bool MayDownloadAgain(DownloadItem& item, const DownloadError& why);
  // Opens the downloaded program for its check, waiting while another program (a scanner)
  // holds it; false when it cannot be opened (`gone`: it is not there any more).
  bool OpenForCheck(const DownloadItem& item, platform::HeldFile& file, bool& gone);
  // The downloaded program vanished before its check: downloaded once more, or the item ends.
  LaunchResult LoseProgram(DownloadItem& item);
  // Takes a finished item back to Pending, its bytes uncounted, to download it again.
  LaunchResult DownloadAgain(DownloadItem& item);
  // Drops the item's download file so that its download begins again from its size request.
  void StartOver(DownloadItem& item);
  // Runs every program to run that has not run yet, in list order, each until it exits.
  LaunchResult LaunchPrograms();
  LaunchResult RunProgram(DownloadItem& item);
  // Deletes a refused program and decides whether it is fetched again.
  LaunchResult RefuseProgram(DownloadItem& item, platform::ProgramCheck check);
  // Leaves things as a stopped worker must: no segment running, no item left Downloading.
  void EndWorker();
  void JoinWorker();

  // Waits up to `ms`, returning at once on Stop; false when the task is told to stop.
  bool Wait(int ms);
  int NextDelay(int& delay) const;
  // `ms` less up to a quarter, at random: clients that failed together do not return together.
  int Jitter(int ms);
  bool AllItemsDone() const;
  void SumSizes();
  void SetPhase(Phase phase);

  std::vector<std::unique_ptr<DownloadItem>> items_;
  HttpDownloader downloader_;
  const int segmentCount_;
  std::atomic<bool> stopRequested_{true};
  std::thread worker_;
  std::atomic<bool> workerRunning_{false};
  std::atomic<bool> failed_{false};
  TaskProgress progress_;
  std::atomic<int> firstDelayMs_{RetryDelays().firstMs};
  std::atomic<int> maxDelayMs_{RetryDelays().maxMs};
  std::minstd_rand random_{std::random_device{}()};  // the worker's alone

  mutable std::mutex errorMutex_;
  DownloadError lastError_;
  platform::ProgramPolicy policy_ = platform::BuildProgramPolicy();
  std::atomic<platform::ProgramCheck> refusal_{platform::ProgramCheck::Ok};
  int refusals_ = 0;  // the worker's own: checks failed in this Start
  int lostFiles_ = 0;  // the worker's own: finished files lost in this Start
  std::atomic<uint32_t> programExitCode_{0};

  // Guards the downloader's Stop, Restart and StopAndDeleteParts and what decides them, so
  // that the worker's recovery and the caller's Pause, Resume and Stop never overlap. Waits
  // between attempts sleep on `wake_`, which Stop signals.
  std::mutex control_;
  std::condition_variable wake_;
  Phase phase_ = Phase::Idle;
  bool paused_ = false;           // the caller paused; Resume clears it
  bool segmentsStopped_ = true;   // the running download's segment threads were told to stop
};

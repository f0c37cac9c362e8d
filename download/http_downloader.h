// Fetches one file over HTTP/1.1, plain or over TLS, in several byte ranges at once. Each range
// (segment) has its own connection and thread, and writes at its offsets into the one download
// file (download_file.h); a stopped or failed download resumes from what the segments hold, a
// later run too when its sidecar (part_table.h) still describes the server's file, and
// CommitFile gives the whole file its target name. This class schedules ranges and
// connections; the file and its progress are DownloadFile's.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/connection.h"
#include "download/download_error.h"
#include "download/download_file.h"
#include "download/http_body.h"
#include "download/http_header.h"
#include "download/part_table.h"
#include "download/route.h"
#include "download/size_requests.h"
#include "download/source_list.h"
#include "platform/sockets.h"
#include "tls_roots.h"

// Header text read from a response: at most 1024 bytes, plus room for the terminating NUL.
constexpr int kMaxHeaderBytes = 1024;
// The longest a whole response header may take to arrive.
constexpr int kHeaderTimeoutMs = 15000;
constexpr int kHeaderBufferSize = kMaxHeaderBytes + 1;
// Body bytes are received in chunks of this size: large enough that a
// fast connection costs few system calls per megabyte. Buffers of this size live on the heap,
// not on a segment thread's stack.
constexpr int kChunkSize = 64 * 1024;
// The segment table's capacity: the segments a Start makes plus those its splits add.
constexpr int kMaxSegments = 50;
// A connection that has finished its range takes part of the range that will take longest,
// when that range would take clearly longer (this factor) than all the work left shared among
// every connection, and it hands over at least kMinPiece.
constexpr double kStealTimeFactor = 1.5;
constexpr uint64_t kMinPiece = 64 * 1024;
// The sidecar records each range's progress at least this often, and after this many bytes of
// a range; and whenever the download stops.
constexpr int64_t kProgressSaveMs = 1000;
constexpr uint64_t kProgressSaveBytes = 4 * 1024 * 1024;
// Put behind a file name another item of the same list was written to, as often as needed.
constexpr char kTmpSuffix[] = "_tmp";
// Redirects the size request follows before it gives up.
constexpr int kMaxRedirects = 5;
// A connection that ends before its range is whole after fewer body bytes than this counts
// as a failure for the back-off: a server handing out a byte per connection is not progress.
constexpr uint64_t kStormBytes = 64 * 1024;
// A source whose connections fetch, on average, less than a kSlowSourceFactor-th of what the
// connections of the fastest other source fetch is failed like one that broke (a CDN node
// throttled to a trickle). Only connections that have fetched for kSlowJudgeMs count, and the
// faster source must have brought kSlowJudgeBytes in them: a connection just opened, or a
// moment's stall between equally fast sources, proves nothing. The rates are compared this
// often while bytes come in.
constexpr double kSlowSourceFactor = 4;
constexpr int64_t kSlowJudgeMs = 2000;
constexpr uint64_t kSlowJudgeBytes = 512 * 1024;
constexpr int64_t kSlowJudgeEveryMs = 500;

// Waiting: its turn comes when a connection is free (no more connections than the limit).
enum class SegmentState : uint32_t { Stopped = 0, Running = 1, Done = 2, Failed = 3, Waiting = 4 };

class HttpDownloader;

// One byte range of the file and everything its thread needs. The thread writes `bytesDone`
// and `state`; the caller reads them, and writes `state` to stop the thread.
struct DownloadSegment {
  HttpDownloader* owner = nullptr;
  std::string host;
  int port = 0;
  std::string urlPrefix;
  std::string fileName;
  uint64_t rangeStart = 0;
  // One past the last byte. A split moves it down while the thread runs; the thread reads it
  // before each write and stops there.
  std::atomic<uint64_t> rangeEnd{0};
  // The bytes from rangeStart on that are in the download file.
  std::atomic<uint64_t> bytesDone{0};
  // bytesDone when the sidecar was last saved for this segment's thread.
  uint64_t savedBytes = 0;
  // For choosing splits and judging sources: when this segment's connection began (steady
  // clock, ms; 0 while it is being set, so that a reader never pairs an old time with new
  // bytes), bytesDone then, and the rate (bytes per second) assumed until one is measured; 0:
  // none known.
  std::atomic<int64_t> fetchStartMs{0};
  std::atomic<uint64_t> fetchStartBytes{0};
  double assumedRate = 0;
  bool secure = false;  // TLS on the connection to host:port
  // The server's validator (a strong ETag or the Last-Modified date; empty: none known), sent
  // as If-Range on this segment's range requests but for the first one of a fresh download.
  std::string ifRange;
  bool plainFirstRequest = false;
  // The download's source this segment fetches from (host to ifRange are its); its thread
  // alone changes it while it runs.
  std::atomic<int> source{0};
  // A source failed for slowness while this segment fetched from it (-1: none): the segment
  // leaves it for another one, from its first missing byte.
  std::atomic<int> slowSource{-1};
  std::thread thread;  // not joinable when the segment has no thread
  std::atomic<SegmentState> state{SegmentState::Stopped};

  // Bytes of the file this segment must hold.
  uint64_t Need() const { return rangeEnd.load() - rangeStart; }
  bool LeavingSource() const { return slowSource.load() == source.load(); }
};

// A running range as a split sees it: the next byte it will fetch, its end, its rate (bytes
// per second; 0: not known yet).
struct RangeProgress {
  uint64_t position = 0;
  uint64_t end = 0;
  double rate = 0;
};

// Where a free connection whose own rate is `freeRate` takes over part of a range: the range
// that will take longest to finish keeps what it can fetch in the time the whole rest needs at
// the combined rate of every connection; the free one fetches from `splitAt` on. With equal
// rates between two connections that is the upper half. False when no range would take more
// than kStealTimeFactor times that shared time, or when less than kMinPiece would move.
struct SplitChoice {
  int victim = -1;
  uint64_t splitAt = 0;
};
bool ChooseSplit(const std::vector<RangeProgress>& running, double freeRate, SplitChoice& choice);

// Bytes per second the segment's thread has fetched since it began; its assumed rate (0: not
// known) while it has received no body byte yet or was measured too briefly.
double SegmentRate(const DownloadSegment& segment, int64_t nowMs);

// One source's connections as the slowness judge sees them: those that have fetched for
// kSlowJudgeMs, their mean rate (bytes per second a connection) and the bytes they fetched;
// `usable`: neither resting nor dropped.
struct SourcePace {
  double rate = 0;
  uint64_t bytes = 0;
  int connections = 0;
  bool usable = false;
};
// The source (an index of `paces`) much slower than the fastest other one (kSlowSourceFactor),
// the slowest when several are; -1 when none is. `fastest` becomes the source it was measured
// against. Only usable sources with measured connections are judged, and the fastest must have
// fetched kSlowJudgeBytes: one source alone is never slower than the others.
int FindSlowSource(const std::vector<SourcePace>& paces, int& fastest);

// What a later request's If-Range carries: a strong ETag, else the Last-Modified date, else
// empty.
std::string ValidatorOf(const ResponseHeader& header);

// Where each segment's "file downloaded" line goes: standard output unless changed (nullptr:
// nowhere). A console front end whose standard output is its own report turns it off.
void SetFinishedLineStream(std::FILE* stream);

// What went wrong since the last look: the gravest failure reported by the size request, a
// segment or the final rename, and whether a connection since then ended early with little.
struct FailureReport {
  DownloadError error;
  bool unproductive = false;
};

// The file size a response header announces, when it announces a usable one: a
// "Content-Length:" field of plain decimal digits below kMaxFileSize, ended by CR LF. A header
// without such a field (absent, negative, not a number, too large, or cut off) gives false.
bool ParseFileSize(const std::string& header, uint64_t& size);

// Receives one line for each request made: what was asked, the answer's status, the body bytes
// received and how long it took. Called from segment threads and the size request.
using RequestLog = std::function<void(const std::string& line)>;

class HttpDownloader {
 public:
  HttpDownloader() = default;
  virtual ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // Learns the size of urlPrefix + fileName from the host (plain http, port 80), then starts
  // one thread per segment, each writing its range into targetPath + ".download". What an
  // earlier run of the same URL and target fetched is kept when the size answer has the size
  // and validator its sidecar records. False when the size request fails or announces no
  // usable size, when the download file cannot be made (too little room: DiskFull), or when a
  // segment fails at once. A size request still waiting when `cancel` (when given) turns true
  // gives up soon.
  bool Start(const std::string& host, const std::string& urlPrefix, const std::string& fileName,
             const std::string& targetPath, int segmentCount,
             const std::atomic<bool>* cancel = nullptr);
  // The same for any server: http or https, on the URL's port. urlPrefix is the absolute
  // address up to its last "/" (it is sent as such in the request line).
  bool Start(const ServerAddress& server, const std::string& urlPrefix,
             const std::string& fileName, const std::string& targetPath, int segmentCount,
             const std::atomic<bool>* cancel = nullptr);
  // The same for one file served by several sources (CDNs), all asked for the size at once.
  // The earliest-listed source that answers defines the file, without waiting more than
  // kSizeAnswerGraceMs for an earlier one once another has answered; another is used only when
  // its size answer gives the same size, and is dropped (in the log) otherwise. A source that
  // has not answered when the download starts is asked again while it runs and joins it when
  // it agrees: the next connection to start goes to it. The first ranges go to the first
  // source, the rest round-robin; a range whose source fails continues on another one. The
  // sidecar records the whole list and each source's validator: a later run resumes only with
  // the same list, when the sources that answer give the validators recorded for them.
  bool Start(const std::vector<SourceAddress>& sources, const std::string& targetPath,
             int segmentCount, const std::atomic<bool>* cancel = nullptr);
  // The roots (PEM text) an https server's certificate must lead to for the next Start; empty:
  // the system's trusted roots. Starts as the roots built in (VANTREO_TLS_ROOTS).
  void SetPinnedRoots(const std::string& pem);
  // The protocol and, over TLS, the certificate subject of the server of the size answer
  // that defined the file.
  std::string PeerDescription() const;
  // The sources the running download uses (those that agreed on the file), each with how its
  // size answer reached it.
  std::vector<DownloadSource> Sources();
  // Starts every segment's thread again; each continues from the bytes it holds.
  bool Restart();
  // Starts again only the segments that failed (their threads have ended); the others go on.
  bool RetryFailed();
  // Tells every segment to stop and waits for their threads; the file is closed, and it and
  // its sidecar stay.
  bool Stop();
  // Stop, then delete the download file and its sidecar.
  bool StopAndDeleteParts();

  // Every segment Done and the bytes received reach the file size.
  bool IsFinished() const;
  bool HasFailed() const;
  // Bytes received over all segments, each counted up to its range's end.
  uint64_t GetBytesDone() const;
  // The announced file size; 0 before Start has learned it.
  uint64_t GetTotalSize() const { return totalSize_.load(); }
  // The failures reported since the last call, then forgotten.
  FailureReport TakeFailures();
  // Where request lines go (nowhere unless set). Set while no segment thread runs.
  void SetRequestLog(RequestLog log) { requestLog_ = std::move(log); }

  // Waits, without a time limit, for the segment threads to end (a Stop from another thread
  // ends them within the socket time-outs), then flushes the download file and gives it the
  // name targetPath (empty: the path given to Start); the sidecar goes. False, with the reason among
  // the failures, when the download is not whole or the file cannot be renamed (it vanished:
  // Quarantined). All calls that start or end segment threads may come from different
  // threads: they take turns, and the pollers above never wait for them.
  bool CommitFile(const std::string& targetPath = std::string());

 protected:
  // One exchange, step by step. A failing step closes nothing but what it says.
  static platform::Socket ConnectDirect(const std::string& host, int port,
                                        const StopTest& stopped = StopTest());
  // One send of the whole text; on failure the socket is closed and false returned.
  static bool SendText(platform::Socket& socket, const std::string& text);
  static bool SendText(Connection& connection, const std::string& text);
  // Reads the response header one byte at a time, up to the blank line or 1024 bytes; the
  // body stays in the socket. Returns the count stored; a NUL follows it. A header that takes
  // longer than kHeaderTimeoutMs in all is cut there, and the read ends soon after `stopped`
  // (when given) says so: a server trickling its header cannot hold a stop.
  static int ReceiveHeader(platform::Socket& socket, char (&header)[kHeaderBufferSize],
                           const StopTest& stopped = StopTest());
  // A connection to host:port carried through an HTTP CONNECT proxy, or an empty Socket.
  static platform::Socket OpenProxyTunnel(const std::string& proxyHost, int proxyPort,
                                          const std::string& host, int port);
  // Sends the GET (from startOffset on when it is not 0) and reads the response header. True
  // for an "HTTP/1.1 20x" answer; learns totalSize from it while that is still 0.
  bool SendRequest(platform::Socket& socket, const std::string& host,
                   const std::string& urlPrefix, const std::string& fileName,
                   uint64_t startOffset);
  // The value of the first "Content-Length:" field read as atoi does; 0 when there is none.
  static int ParseContentLength(const std::string& header);
  // SendRequest without touching totalSize: the header read comes back in `header`. No error
  // for a whole "HTTP/1.1 20x" header; a Status error (with the server's Retry-After) for a
  // whole header with another status.
  // `host` is the Host field's value.
  // A non-empty `ifRange` goes out as an If-Range field with a range request.
  static DownloadError RequestFile(Connection& connection, const std::string& host,
                          const std::string& urlPrefix, const std::string& fileName,
                          uint64_t startOffset, std::string& header,
                          const StopTest& stopped = StopTest(),
                          const std::string& ifRange = std::string());

  // Makes the table and starts its threads: `count` equal ranges in a new download file (what
  // an earlier download of `stem` left deleted), or the ranges of `kept`, continuing in the
  // file they were written to when it is still there.
  bool SetupSegments(const std::string& host, int port, const std::string& urlPrefix,
                     const std::string& fileName, const std::string& stem, int count,
                     const PartTable* kept = nullptr);
  void SegmentThreadProc(DownloadSegment& segment);
  // Called by a segment's thread as it ends Done: hands the free connection to a segment
  // waiting its turn, else gives it part of the range that will take longest, as a new segment
  // with its own thread. Waits for the control lock only briefly, and not at all once this
  // segment is stopped: a control call holding the lock may be waiting for this thread.
  void StealWork(DownloadSegment& segment);
  // Under controlMutex_: starts the first segment waiting its turn; false when none waits.
  bool StartWaitingLocked();
  // Under controlMutex_: the split of the running segments, applied; false when none is due.
  bool SplitLocked(DownloadSegment& freeSegment);
  // One connection's work for a segment that holds `existing` bytes; `received` counts the
  // body bytes it wrote.
  DownloadError FetchRange(DownloadSegment& segment, uint64_t existing, uint64_t& received);
  // The sidecar for the table as it stands, when the segment has fetched enough since the last
  // save, or enough time has passed.
  void SaveProgressIfDue(DownloadSegment& segment);
  void SaveProgress();
  // The table as the sidecar records it: URL, size, validator, ranges and their bytes done.
  PartTable TableLocked() const;
  // A failing segment's local fault (a full disk) is every segment's: the others stop too.
  void StopOthers(const DownloadSegment& failed);
  // The size request, following redirects: the answer's address is the final URL's, its
  // validator the answer's ETag, else its Last-Modified, else empty.
  SizeAnswer LearnSize(const SourceAddress& source, const StopTest& stopped);
  // Where a redirect answer (the hop'th) leads: `address` becomes the Location's.
  static DownloadError FollowRedirect(const ResponseHeader& header, int hop,
                                      SourceAddress& address);
  // A connection to the server along its route (route.h: every address, the proxies the
  // settings name), with TLS when the server is secure.
  DownloadError OpenConnection(const ServerAddress& server, const StopTest& stopped,
                               Connection& connection) const;
  void ReportFailure(const DownloadError& error, bool unproductive);
  // Points the segment at source `index` of the download: its address and its validator.
  void UseSource(DownloadSegment& segment, int index) const;
  // After a network failure of the segment's source: the source is rested (or dropped), and
  // the segment moves to another usable source; false when there is none (true for a source
  // left for slowness, which goes on serving then).
  bool FailOver(DownloadSegment& segment, const DownloadError& error);
  // Counts a failure of source `index` (rested, or dropped after repeated ones) and logs why.
  void FailSource(int index, const std::string& reason, int64_t nowMs);
  // Called by segment threads as bytes come in (`nowMs`: the steady clock's): at most every
  // kSlowJudgeEveryMs, compares the sources' rates and fails one much slower than another
  // (FindSlowSource); its connections leave it for other sources. Takes no lock a control call
  // may hold.
  void JudgeSourcesIfDue(int64_t nowMs);
  // Each source's connections that have fetched for kSlowJudgeMs, as FindSlowSource takes them.
  std::vector<SourcePace> MeasureSources(int64_t nowMs) const;
  std::atomic<int64_t> lastJudgeMs_{0};
  // The sources that agreed on the file: those of the running table, and those of the next
  // one, which SetupSegments takes over once the old threads have ended.
  std::unique_ptr<SourceList> sources_;
  std::unique_ptr<SourceList> nextSources_;
  // The size requests of the sources that had not answered when the download started, asked
  // again while the download runs (each ends before its list).
  std::unique_ptr<SizeRequests> requests_;
  std::unique_ptr<SizeRequests> nextRequests_;

  // kMaxSegments entries, of which the first segmentCount_ are in use: a split adds one at the
  // end, so the table never moves under the pollers. The count changes with both controlMutex_
  // and tableMutex_ held.
  std::unique_ptr<DownloadSegment[]> segments_;
  std::atomic<int> segmentCount_{0};
  // Connections at once: the count Start was given.
  int connectionLimit_ = 0;
  // A server answered a range request with the whole file: a split would fetch from byte 0.
  std::atomic<bool> rangesIgnored_{false};
  // A control call holding the lock waits for every thread to end: a free thread must not
  // wait for the lock then.
  std::atomic<bool> joining_{false};
  // The target path given to Start: the download file and the sidecar are named after it.
  std::string partStem_;
  DownloadFile file_;
  std::atomic<int64_t> lastSaveMs_{0};
  // What the sidecar records of the download: the URL given to Start and the validator of
  // the size answer. Written under controlMutex_.
  std::string url_;
  std::string validator_;
  std::string nextUrl_;
  std::string nextValidator_;
  std::atomic<uint64_t> totalSize_{0};

 private:
  RequestLog requestLog_;
  void Note(const std::string& line) const {
    if (requestLog_) requestLog_(line);
  }
  // Marks every segment Stopped; the threads see it before their next receive.
  void SignalStop();
  // The work of Stop and StopAndDeleteParts, with controlMutex_ held.
  bool StopLocked(bool deleteFiles);
  // Starts one thread per segment; false when a segment is Failed right afterwards.
  bool StartThreads();
  void StartThread(DownloadSegment& segment);
  // Waits for every segment thread that has not been waited for.
  void JoinAll();

  // Serialises everything that starts, joins or replaces segment threads, so calls from the
  // task's worker and from the window thread never wait on the same thread twice.
  std::mutex controlMutex_;
  friend class ControlLock;
  // Guards the table pointer against the pollers (IsFinished, HasFailed, GetBytesDone).
  mutable std::mutex tableMutex_;
  std::mutex failureMutex_;
  FailureReport failures_;
  // Set before Start, read by the segment threads it starts.
  std::string pinnedRoots_ = VANTREO_TLS_ROOTS_PEM;
  mutable std::mutex peerMutex_;
  std::string peerDescription_;
  // How connections reach each server of the download (proxies, addresses): set up by Start.
  mutable RouteBook routes_;
};

// Fetches one file over HTTP/1.1, plain or over TLS, in several byte ranges at once. Each range (segment)
// has its own connection, thread and part file; a stopped or failed download resumes from the
// part files, a later run too when its sidecar (part_table.h) still describes the server's file,
// and MergeParts joins them into the target file.
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
#include "download/http_body.h"
#include "download/http_header.h"
#include "download/part_table.h"
#include "download/route.h"
#include "platform/sockets.h"
#include "tls_roots.h"

// Header text read from a response: at most 1024 bytes, plus room for the terminating NUL.
constexpr int kMaxHeaderBytes = 1024;
// The longest a whole response header may take to arrive.
constexpr int kHeaderTimeoutMs = 15000;
constexpr int kHeaderBufferSize = kMaxHeaderBytes + 1;
// Body bytes are received, and part files copied, in chunks of this size: large enough that a
// fast connection costs few system calls per megabyte. Buffers of this size live on the heap,
// not on a segment thread's stack.
constexpr int kChunkSize = 64 * 1024;
// The segment table's capacity: the segments a Start makes plus those its splits add.
constexpr int kMaxSegments = 50;
// A connection that has finished its range takes part of another only when that range has more
// than this still to come, and never leaves a piece smaller than kMinPiece.
constexpr uint32_t kStealThreshold = 1024 * 1024;
constexpr uint32_t kMinPiece = 64 * 1024;
// Put behind a file name that is taken and cannot be replaced (an old part, a download that a
// program holds open), as often as needed.
constexpr char kTmpSuffix[] = "_tmp";
// Files must be smaller than this: sizes and offsets travel as signed 32-bit decimals.
constexpr uint32_t kMaxFileSize = 0x80000000u;
// Redirects the size request follows before it gives up.
constexpr int kMaxRedirects = 5;
// A connection that ends before its range is whole after fewer body bytes than this counts
// as a failure for the back-off: a server handing out a byte per connection is not progress.
constexpr uint64_t kStormBytes = 64 * 1024;

enum class SegmentState : uint32_t { Stopped = 0, Running = 1, Done = 2, Failed = 3 };

class HttpDownloader;

// One byte range of the file and everything its thread needs. The thread writes `bytesDone`
// and `state`; the caller reads them, and writes `state` to stop the thread.
struct DownloadSegment {
  HttpDownloader* owner = nullptr;
  std::string proxyHost;
  std::string host;
  int proxyPort = 0;
  int port = 0;
  std::string urlPrefix;
  std::string fileName;
  std::string partFile;
  uint32_t rangeStart = 0;
  // One past the last byte. A split moves it down while the thread runs; the thread reads it
  // before each write and stops there.
  std::atomic<uint32_t> rangeEnd{0};
  std::atomic<uint32_t> bytesDone{0};
  // For choosing splits: when this segment's thread began (steady clock, ms), bytesDone then,
  // and the rate (bytes per second) assumed until one is measured; 0: none known.
  std::atomic<int64_t> fetchStartMs{0};
  std::atomic<uint32_t> fetchStartBytes{0};
  uint32_t assumedRate = 0;
  int useProxy = 0;
  bool secure = false;  // TLS on the connection to host:port
  // The server's validator, sent as If-Range on this segment's range requests when the
  // download continues parts of an earlier run; empty for a fresh download.
  std::string ifRange;
  std::thread thread;  // not joinable when the segment has no thread
  std::atomic<SegmentState> state{SegmentState::Stopped};

  // Bytes of the file this segment must hold.
  uint32_t Need() const { return rangeEnd.load() - rangeStart; }
};

// A running range as a split sees it: the next byte it will fetch, its end, its rate (bytes
// per second; 0: not known yet).
struct RangeProgress {
  uint32_t position = 0;
  uint32_t end = 0;
  double rate = 0;
};

// Where a free connection whose own rate is `freeRate` takes over part of a range: the range
// that will take longest to finish keeps what it can fetch in the time the whole rest needs at
// the combined rate of every connection; the free one fetches from `splitAt` on. With equal
// rates between two connections that is the upper half. False when no range has more than
// kStealThreshold to go.
struct SplitChoice {
  int victim = -1;
  uint32_t splitAt = 0;
};
bool ChooseSplit(const std::vector<RangeProgress>& running, double freeRate, SplitChoice& choice);

// Size of a file; 0 when it is missing or a folder.
uint32_t QueryFileSize(const std::string& path);

// Where each segment's "file downloaded" line goes: standard output unless changed (nullptr:
// nowhere). A console front end whose standard output is its own report turns it off.
void SetFinishedLineStream(std::FILE* stream);

// What went wrong since the last look: the gravest failure reported by the size request, a
// segment or the merge, and whether a connection since then ended early with little.
struct FailureReport {
  DownloadError error;
  bool unproductive = false;
};

// The file size a response header announces, when it announces a usable one: a
// "Content-Length:" field of plain decimal digits below 2 GiB, ended by CR LF. A header
// without such a field (absent, negative, not a number, too large, or cut off) gives false.
bool ParseFileSize(const std::string& header, uint32_t& size);

// Receives one line for each request made: what was asked, the answer's status, the body bytes
// received and how long it took. Called from segment threads and the size request.
using RequestLog = std::function<void(const std::string& line)>;

class HttpDownloader {
 public:
  HttpDownloader() = default;
  virtual ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // Learns the size of urlPrefix + fileName from the host (plain http, port 80), then starts one thread per
  // segment, each writing its range into targetPath + "_<index>". The parts of an earlier run
  // of the same URL and target are kept when the size answer has the size and validator its
  // sidecar records. False when the size request
  // fails or announces no usable size, or when a segment fails at once. A size request still
  // waiting when `cancel` (when given) turns true gives up soon.
  bool Start(const std::string& host, const std::string& urlPrefix, const std::string& fileName,
             const std::string& targetPath, int segmentCount,
             const std::atomic<bool>* cancel = nullptr);
  // The same for any server: http or https, on the URL's port. urlPrefix is the absolute
  // address up to its last "/" (it is sent as such in the request line).
  bool Start(const ServerAddress& server, const std::string& urlPrefix,
             const std::string& fileName, const std::string& targetPath, int segmentCount,
             const std::atomic<bool>* cancel = nullptr);
  // The roots (PEM text) an https server's certificate must lead to for the next Start; empty:
  // the system's trusted roots. Starts as the roots built in (VANTREO_TLS_ROOTS).
  void SetPinnedRoots(const std::string& pem);
  // The protocol and, over TLS, the certificate subject of the last size request's server.
  std::string PeerDescription() const;
  // Starts every segment's thread again; each continues from its part file.
  bool Restart();
  // Starts again only the segments that failed (their threads have ended); the others go on.
  bool RetryFailed();
  // Tells every segment to stop and waits for their threads; part files stay.
  bool Stop();
  // Stop, then delete every part file.
  bool StopAndDeleteParts();

  // Every segment Done and the bytes received reach the file size.
  bool IsFinished() const;
  bool HasFailed() const;
  // Bytes received over all segments, each counted up to its range's end.
  uint32_t GetBytesDone() const;
  // The announced file size; 0 before Start has learned it.
  uint32_t GetTotalSize() const { return totalSize_.load(); }
  // The failures reported since the last call, then forgotten.
  FailureReport TakeFailures();
  // Where request lines go (nowhere unless set). Set while no segment thread runs.
  void SetRequestLog(RequestLog log) { requestLog_ = std::move(log); }

  // Waits, without a time limit, for the segment threads to end (a Stop from another thread
  // ends them within the socket time-outs), then writes the file from the part files to
  // targetPath (empty: the path given to Start). Once it is written the parts and the sidecar
  // are deleted; after a failure they stay. False when a segment
  // failed, a part is short (deleted, its segment then Failed), or a file cannot be opened.
  // All calls that start or end segment threads may come from different threads: they take
  // turns, and the pollers above never wait for them.
  bool MergeParts(const std::string& targetPath);

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
                   uint32_t startOffset);
  // The value of the first "Content-Length:" field read as atoi does; 0 when there is none.
  static int ParseContentLength(const std::string& header);
  // SendRequest without touching totalSize: the header read comes back in `header`. No error
  // for a whole "HTTP/1.1 20x" header; a Status error (with the server's Retry-After) for a
  // whole header with another status.
  // `host` is the Host field's value.
  // A non-empty `ifRange` goes out as an If-Range field with a range request.
  static DownloadError RequestFile(Connection& connection, const std::string& host,
                          const std::string& urlPrefix, const std::string& fileName,
                          uint32_t startOffset, std::string& header,
                          const StopTest& stopped = StopTest(),
                          const std::string& ifRange = std::string());

  // Makes the table and starts its threads: `count` equal ranges with fresh parts (old parts
  // and sidecar of `stem` deleted), or the ranges of `kept`, continuing from their parts.
  bool SetupSegments(const std::string& proxyHost, int proxyPort, const std::string& host,
                     int port, const std::string& urlPrefix, const std::string& fileName,
                     const std::string& stem, int count, int useProxy,
                     const PartTable* kept = nullptr);
  void SegmentThreadProc(DownloadSegment& segment);
  // Called by a segment's thread as it ends Done: gives the free connection part of the range
  // that will take longest, as a new segment with its own thread. Does nothing while a control
  // call (Stop, Restart, a merge) waits for the control lock: it may be waiting for this thread.
  void StealWork(DownloadSegment& segment);
  // Under controlMutex_: the split of the running segments, applied; false when none is due.
  bool SplitLocked(DownloadSegment& freeSegment);
  // One connection's work for a segment that holds `existing` bytes; `received` counts the
  // body bytes it wrote.
  DownloadError FetchRange(DownloadSegment& segment, uint32_t existing, uint64_t& received);
  // The size request, following redirects: host, urlPrefix and fileName become the final
  // URL's. `validator` becomes the answer's ETag, else its Last-Modified, else empty.
  DownloadError LearnSize(ServerAddress& server, std::string& urlPrefix, std::string& fileName,
                          uint32_t& size, std::string& validator, const StopTest& stopped);
  // Under controlMutex_: the sidecar for the table as it stands (none without a validator).
  void WriteSidecarLocked();
  // A connection to the server along its route (route.h: every address, the proxies the
  // settings name), with TLS when the server is secure. The proxy arguments are not used.
  DownloadError OpenConnection(const ServerAddress& server, const std::string& proxyHost,
                               int proxyPort, bool useProxy, const StopTest& stopped,
                               Connection& connection) const;
  void ReportFailure(const DownloadError& error, bool unproductive);
  bool AppendPartFile(DownloadSegment& segment, std::FILE* target);

  // kMaxSegments entries, of which the first segmentCount_ are in use: a split adds one at the
  // end, so the table never moves under the pollers. The count changes with both controlMutex_
  // and tableMutex_ held.
  std::unique_ptr<DownloadSegment[]> segments_;
  std::atomic<int> segmentCount_{0};
  // Connections at once: the count Start was given.
  int connectionLimit_ = 0;
  // The part files' stem (the target path given to Start).
  std::string partStem_;
  // What the sidecar records of the download: the URL given to Start and the validator of
  // the size answer. Written under controlMutex_.
  std::string url_;
  std::string validator_;
  std::atomic<uint32_t> totalSize_{0};
  std::string targetPath_;

 private:
  RequestLog requestLog_;
  // Marks every segment Stopped; the threads see it before their next receive.
  void SignalStop();
  // The work of Stop and StopAndDeleteParts, with controlMutex_ held.
  bool StopLocked(bool deleteParts);
  // Deletes the table's part files and the sidecar, with controlMutex_ held and no thread running.
  void DeletePartsLocked();
  // Starts one thread per segment; false when a segment is Failed right afterwards.
  bool StartThreads();
  void StartThread(DownloadSegment& segment);
  // Waits for every segment thread that has not been waited for.
  void JoinAll();

  // Serialises everything that starts, joins or replaces segment threads, so calls from the
  // task's worker and from the window thread never wait on the same thread twice. A control
  // call counts itself in controlWaiters_ before it locks, so a segment thread wanting a split
  // knows not to wait for the lock.
  std::mutex controlMutex_;
  std::atomic<int> controlWaiters_{0};
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

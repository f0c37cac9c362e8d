// The size requests of a file's sources, all at once: one thread per source asks where the
// file is and how large it is, and, while the source fails, asks again after the rest its
// failures earn (SourceList's back-off) until it is dropped. The first answers define the file;
// a source that answers later joins the download when it serves the same size, and is dropped
// when it does not, before any range goes to it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/download_error.h"
#include "download/socket_layer.h"
#include "download/source_list.h"

// Once a source has answered, the others that have neither answered nor failed yet are waited
// for this long: the earliest-listed answer defines the file and every answer in takes part in
// the first spread of ranges, but a source that drops packets must not hold up the start for
// its whole connect time-out.
constexpr int64_t kSizeAnswerGraceMs = 1000;

// One source's answer to the size request.
struct SizeAnswer {
  DownloadError error;
  SourceAddress address;  // where the file is, after redirects
  uint64_t size = 0;
  std::string validator;
  std::string peer;  // how the server was reached: "http", or "https, certificate ..."
};

class SizeRequests {
 public:
  using Ask = std::function<SizeAnswer(const SourceAddress& address, const StopTest& stopped)>;
  using Note = std::function<void(const std::string& line)>;

  // Asks for the sources of `sources` that are pending; the list outlives this object.
  SizeRequests(SourceList& sources, Ask ask, Note note);
  ~SizeRequests();
  SizeRequests(const SizeRequests&) = delete;
  SizeRequests& operator=(const SizeRequests&) = delete;

  // Starts a thread for every pending source, unless they run already. A source still pending
  // after End is asked from its next rest on.
  void Begin();
  // Waits until the answers define the file: the earliest-listed source that answered, once
  // every source has answered or failed, or kSizeAnswerGraceMs after the first answer.
  // Its index, with every source's answer so far in `answers` (a Stopped error for one still
  // asking); -1 when every source failed or `cancel` turned true (answers[0].error says why).
  int AwaitFile(const std::atomic<bool>* cancel, std::vector<SizeAnswer>& answers);
  // The file is `size` bytes: every answer in so far and each later one is judged against it.
  // Until then answers wait.
  void Define(uint64_t size);
  // Stops asking and waits for the threads; the requests under way give up within moments.
  void End();

 private:
  enum class State { Asking, Answered, Failed };
  void Run(int index);
  // Agrees, drops or rests the source by its answer; `late`: the download runs already.
  void JudgeLocked(int index, const SizeAnswer& answer, bool late);
  // The defining source by the rule of AwaitFile, or -1 while none may define yet.
  int DefiningLocked(int64_t nowMs) const;

  SourceList& sources_;
  const Ask ask_;
  const Note note_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> stopping_{false};
  bool defined_ = false;
  uint64_t size_ = 0;
  std::vector<State> states_;
  std::vector<SizeAnswer> answers_;
  int64_t firstAnswerMs_ = -1;
  std::vector<std::thread> threads_;
};

#include "download/size_requests.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// How often a wait for the first answers looks at the caller's cancel flag.
constexpr int64_t kCancelCheckMs = 50;

}  // namespace

SizeRequests::SizeRequests(SourceList& sources, Ask ask, Note note)
    : sources_(sources), ask_(std::move(ask)), note_(std::move(note)) {
  const size_t count = static_cast<size_t>(sources_.Count());
  states_.assign(count, State::Asking);
  answers_.resize(count);
}

SizeRequests::~SizeRequests() { End(); }

void SizeRequests::Begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Threads that ended on their own did so for good: their sources agreed or were dropped.
  if (!threads_.empty()) return;
  stopping_.store(false);
  for (int i = 0; i < sources_.Count(); ++i) {
    const DownloadSource source = sources_.At(i);
    if (!source.pending || source.dropped) continue;
    states_[static_cast<size_t>(i)] = State::Asking;
    try {
      threads_.emplace_back(&SizeRequests::Run, this, i);
    } catch (const std::system_error&) {
      states_[static_cast<size_t>(i)] = State::Failed;
      answers_[static_cast<size_t>(i)].error =
          MakeError(DownloadErrorKind::LocalFile, "no thread for the size request");
    }
  }
}

void SizeRequests::End() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true);
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void SizeRequests::Run(int index) {
  const StopTest stopped = [this] { return stopping_.load(); };
  const size_t at = static_cast<size_t>(index);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_.load()) {
    const DownloadSource source = sources_.At(index);
    if (!source.pending || source.dropped) return;
    // A source that failed rests before it is asked again.
    const int64_t rest = source.restUntilMs - SteadyMs();
    if (rest > 0) {
      changed_.wait_for(lock, std::chrono::milliseconds(rest), [this] { return stopping_.load(); });
      continue;
    }
    states_[at] = State::Asking;
    lock.unlock();
    const SizeAnswer answer = ask_(source.address, stopped);
    lock.lock();
    if (stopping_.load()) return;
    answers_[at] = answer;
    states_[at] = answer.error.Failed() ? State::Failed : State::Answered;
    if (defined_) {
      JudgeLocked(index, answer, true);
      continue;
    }
    if (firstAnswerMs_ < 0 && !answer.error.Failed()) firstAnswerMs_ = SteadyMs();
    changed_.notify_all();
    // Define judges this answer.
    changed_.wait(lock, [this] { return stopping_.load() || defined_; });
  }
}

int SizeRequests::DefiningLocked(int64_t nowMs) const {
  const auto answered = std::find(states_.begin(), states_.end(), State::Answered);
  if (answered == states_.end()) return -1;
  const bool asking = std::find(states_.begin(), states_.end(), State::Asking) != states_.end();
  if (asking && nowMs < firstAnswerMs_ + kSizeAnswerGraceMs) return -1;
  return static_cast<int>(answered - states_.begin());
}

int SizeRequests::AwaitFile(const std::atomic<bool>* cancel, std::vector<SizeAnswer>& answers) {
  std::unique_lock<std::mutex> lock(mutex_);
  int defining = -1;
  for (;;) {
    const int64_t now = SteadyMs();
    defining = DefiningLocked(now);
    const bool allFailed = std::all_of(states_.begin(), states_.end(),
                                       [](State state) { return state == State::Failed; });
    if (defining >= 0 || allFailed || (cancel != nullptr && cancel->load())) break;
    int64_t wait = kCancelCheckMs;
    if (firstAnswerMs_ >= 0) wait = std::min(wait, firstAnswerMs_ + kSizeAnswerGraceMs - now);
    changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(wait, 1)));
  }
  answers = answers_;
  for (size_t i = 0; i < states_.size(); ++i) {
    if (states_[i] == State::Asking)
      answers[i].error = MakeError(DownloadErrorKind::Stopped, "no answer yet");
  }
  return defining;
}

void SizeRequests::Define(uint64_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    defined_ = true;
    size_ = size;
    for (size_t i = 0; i < states_.size(); ++i) {
      if (states_[i] != State::Asking) JudgeLocked(static_cast<int>(i), answers_[i], false);
    }
  }
  changed_.notify_all();
}

void SizeRequests::JudgeLocked(int index, const SizeAnswer& answer, bool late) {
  // Named as the list gives it: where a redirect led is in the request lines.
  const std::string url = sources_.At(index).Url();
  if (answer.error.Failed()) {
    const bool dropped = sources_.Fail(index, SteadyMs());
    note_("source " + url + (dropped ? " dropped after repeated failures: " : " not used: ") +
          answer.error.reason);
    return;
  }
  // Another size is another file: none of its bytes may go into this one.
  if (answer.size != size_) {
    sources_.Drop(index);
    note_("source " + url + " dropped: it serves " + std::to_string(answer.size) +
          " bytes, the file has " + std::to_string(size_));
    return;
  }
  const std::string expected = sources_.At(index).expected;
  if (!expected.empty() && answer.validator != expected) {
    sources_.Drop(index);
    note_("source " + url + " dropped: its file changed since the download's first bytes");
    return;
  }
  sources_.Agree(index, answer.address, answer.validator, answer.peer, late);
  if (late) note_("source " + url + " joins the download");
}

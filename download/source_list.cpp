#include "download/source_list.h"

#include <algorithm>
#include <chrono>

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SourceList::Add(const SourceAddress& address, const std::string& validator,
                     const std::string& peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  DownloadSource source;
  source.address = address;
  source.validator = validator;
  source.peer = peer;
  sources_.push_back(source);
}

int SourceList::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(sources_.size());
}

DownloadSource SourceList::At(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sources_[static_cast<size_t>(index)];
}

std::vector<DownloadSource> SourceList::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sources_;
}

bool SourceList::Fail(int index, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  DownloadSource& source = sources_[static_cast<size_t>(index)];
  if (source.dropped) return false;
  ++source.failures;
  int64_t rest = kSourceRestFirstMs;
  for (int i = 1; i < source.failures && rest < kSourceRestMaxMs; ++i) rest *= 2;
  source.restUntilMs = nowMs + std::min(rest, kSourceRestMaxMs);
  source.dropped = source.failures >= kMaxSourceFailures;
  return source.dropped;
}

void SourceList::Succeeded(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  DownloadSource& source = sources_[static_cast<size_t>(index)];
  if (!source.dropped) source.failures = 0;
}

bool SourceList::Usable(int index, int64_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return UsableLocked(index, nowMs);
}

bool SourceList::UsableLocked(int index, int64_t nowMs) const {
  const DownloadSource& source = sources_[static_cast<size_t>(index)];
  return !source.dropped && !source.pending && source.restUntilMs <= nowMs;
}

int SourceList::Choose(int current, int64_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int count = static_cast<int>(sources_.size());
  if (count < 2 || UsableLocked(current, nowMs)) return current;
  for (int step = 1; step < count; ++step) {
    const int next = (current + step) % count;
    if (UsableLocked(next, nowMs)) return next;
  }
  return current;
}

void SourceList::AddPending(const SourceAddress& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  DownloadSource source;
  source.address = address;
  source.pending = true;
  sources_.push_back(source);
}

void SourceList::Agree(int index, const SourceAddress& address, const std::string& validator,
                       const std::string& peer, bool late) {
  std::lock_guard<std::mutex> lock(mutex_);
  DownloadSource& source = sources_[static_cast<size_t>(index)];
  source.address = address;
  source.validator = validator;
  source.peer = peer;
  source.pending = false;
  source.failures = 0;
  source.restUntilMs = 0;
  source.newcomer = late;
}

void SourceList::Drop(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  sources_[static_cast<size_t>(index)].dropped = true;
}

void SourceList::Expect(int index, const std::string& validator) {
  std::lock_guard<std::mutex> lock(mutex_);
  sources_[static_cast<size_t>(index)].expected = validator;
}

int SourceList::Spread(int n, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> usable;
  for (int i = 0; i < static_cast<int>(sources_.size()); ++i) {
    if (UsableLocked(i, nowMs)) usable.push_back(i);
  }
  if (usable.empty()) return 0;
  const int chosen = usable[static_cast<size_t>(n) % usable.size()];
  sources_[static_cast<size_t>(chosen)].newcomer = false;
  return chosen;
}

int SourceList::TakeNewcomer(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < static_cast<int>(sources_.size()); ++i) {
    DownloadSource& source = sources_[static_cast<size_t>(i)];
    if (!source.newcomer || !UsableLocked(i, nowMs)) continue;
    source.newcomer = false;
    return i;
  }
  return -1;
}

std::vector<std::string> SplitSourceList(const std::string& list) {
  std::vector<std::string> urls;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(';', begin);
    if (end == std::string::npos) end = list.size();
    size_t first = begin;
    size_t last = end;
    while (first < last && (list[first] == ' ' || list[first] == '\t')) ++first;
    while (last > first && (list[last - 1] == ' ' || list[last - 1] == '\t')) --last;
    if (last > first) urls.push_back(list.substr(first, last - first));
    begin = end + 1;
  }
  return urls;
}

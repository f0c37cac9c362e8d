#include "download/source_list.h"

#include <algorithm>

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
  return !source.dropped && source.restUntilMs <= nowMs;
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

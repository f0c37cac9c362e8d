// Where a free connection helps: the rates of running ranges and the split of the one that will
// take longest; and the source much slower than the others, which loses its ranges (declared in
// http_downloader.h).
#include <algorithm>
#include <cstdio>
#include <vector>

#include "download/http_downloader.h"

namespace {

// A rate measured over less time than this is taken only when nothing better is known.
constexpr int64_t kMinMeasureMs = 100;

}  // namespace

double SegmentRate(const DownloadSegment& segment, int64_t nowMs) {
  const int64_t began = segment.fetchStartMs.load();
  const int64_t elapsed = nowMs - began;
  const uint64_t start = segment.fetchStartBytes.load();
  const uint64_t done = segment.bytesDone.load();
  // Still connecting, or waiting for the answer: how fast it will be is not known yet.
  if (began == 0 || done <= start) return segment.assumedRate;
  const double bytes = static_cast<double>(done - start);
  if (elapsed >= kMinMeasureMs) return bytes * 1000 / static_cast<double>(elapsed);
  if (elapsed > 0 && segment.assumedRate == 0) return bytes * 1000 / static_cast<double>(elapsed);
  return segment.assumedRate;
}

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
    const double left =
        range.end > range.position ? static_cast<double>(range.end - range.position) : 0;
    rest += left;
    combined += rateOf(range.rate);
    const double seconds = left / rateOf(range.rate);
    if (left > 0 && seconds > longest) {
      longest = seconds;
      choice.victim = static_cast<int>(i);
    }
  }
  // Time, not bytes, decides: the work left, shared among every connection, against the range
  // that will take longest.
  const double shared = rest / combined;
  if (choice.victim < 0 || longest <= kStealTimeFactor * shared) {
    choice = SplitChoice();
    return false;
  }
  const RangeProgress& victim = running[static_cast<size_t>(choice.victim)];
  // The victim keeps at least a chunk past its position: one may be received and not counted.
  const double keep = std::max(rateOf(victim.rate) * shared, double{kChunkSize});
  const double position = static_cast<double>(victim.position);
  const double last = static_cast<double>(victim.end - std::min(victim.end, kMinPiece));
  if (position + double{kChunkSize} > last) {
    choice = SplitChoice();
    return false;
  }
  choice.splitAt = static_cast<uint64_t>(std::min(position + keep, last));
  return true;
}

int FindSlowSource(const std::vector<SourcePace>& paces, int& fastest) {
  const auto measured = [&paces](size_t i) { return paces[i].usable && paces[i].connections > 0; };
  fastest = -1;
  for (size_t i = 0; i < paces.size(); ++i) {
    if (!measured(i) || paces[i].bytes < kSlowJudgeBytes) continue;
    if (fastest < 0 || paces[i].rate > paces[static_cast<size_t>(fastest)].rate)
      fastest = static_cast<int>(i);
  }
  if (fastest < 0) return -1;
  const double bar = paces[static_cast<size_t>(fastest)].rate / kSlowSourceFactor;
  int slow = -1;
  for (size_t i = 0; i < paces.size(); ++i) {
    if (!measured(i) || paces[i].rate >= bar) continue;
    if (slow < 0 || paces[i].rate < paces[static_cast<size_t>(slow)].rate)
      slow = static_cast<int>(i);
  }
  return slow;
}

std::vector<SourcePace> HttpDownloader::MeasureSources(int64_t now) const {
  const int count = sources_->Count();
  std::vector<SourcePace> paces(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) paces[static_cast<size_t>(i)].usable = sources_->Usable(i, now);
  const int segments = segmentCount_.load();
  for (int i = 0; i < segments; ++i) {
    const DownloadSegment& segment = segments_[i];
    const int64_t began = segment.fetchStartMs.load();
    if (segment.state.load() != SegmentState::Running || began == 0 ||
        now - began < kSlowJudgeMs)
      continue;
    const uint64_t start = segment.fetchStartBytes.load();
    const uint64_t done = segment.bytesDone.load();
    const int source = segment.source.load();
    // A connection begun again meanwhile pairs its new start bytes with the old time.
    if (segment.fetchStartMs.load() != began || source < 0 || source >= count) continue;
    SourcePace& pace = paces[static_cast<size_t>(source)];
    const uint64_t bytes = done > start ? done - start : 0;
    pace.rate += static_cast<double>(bytes) * 1000 / static_cast<double>(now - began);
    pace.bytes += bytes;
    ++pace.connections;
  }
  for (SourcePace& pace : paces) {
    if (pace.connections > 0) pace.rate /= pace.connections;
  }
  return paces;
}

void HttpDownloader::JudgeSourcesIfDue(int64_t now) {
  if (sources_->Count() < 2) return;
  // One thread judges at a time, and not more often than due.
  int64_t last = lastJudgeMs_.load();
  if (now - last < kSlowJudgeEveryMs || !lastJudgeMs_.compare_exchange_strong(last, now)) return;
  const std::vector<SourcePace> paces = MeasureSources(now);
  int fastest = -1;
  const int slow = FindSlowSource(paces, fastest);
  if (slow < 0) return;
  char rates[96];
  std::snprintf(rates, sizeof rates, "%.0f bytes/s a connection, against %.0f from ",
                paces[static_cast<size_t>(slow)].rate, paces[static_cast<size_t>(fastest)].rate);
  FailSource(slow, std::string("much slower than the others: ") + rates +
                       sources_->At(fastest).Url(),
             now);
  for (int i = 0; i < segmentCount_.load(); ++i) {
    DownloadSegment& segment = segments_[i];
    if (segment.state.load() == SegmentState::Running && segment.source.load() == slow)
      segment.slowSource.store(slow);
  }
}

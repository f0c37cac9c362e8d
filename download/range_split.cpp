// Where a free connection helps: the rates of running ranges and the split of the one that will
// take longest (declared in http_downloader.h).
#include <algorithm>
#include <vector>

#include "download/http_downloader.h"

namespace {

// A rate measured over less time than this is taken only when nothing better is known.
constexpr int64_t kMinMeasureMs = 100;

}  // namespace

double SegmentRate(const DownloadSegment& segment, int64_t nowMs) {
  const int64_t elapsed = nowMs - segment.fetchStartMs.load();
  const uint64_t start = segment.fetchStartBytes.load();
  const uint64_t done = segment.bytesDone.load();
  // Still connecting, or waiting for the answer: how fast it will be is not known yet.
  if (done <= start) return segment.assumedRate;
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

// The percentage the installer shows of a download, for the wizard and for vantreo-fetch alike.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

// done / total as a whole percentage, rounded down (100 only when all is done); 0 when total is 0
// (nothing known, nothing to show). Exact integers: a share of exactly 93 % must read 93, which
// floating point can miss. Above 100 when done passes total; never beyond INT_MAX.
inline int PercentOf(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  // done * 100 fits while done stays below 2^64 / 100 (over 100 PiB).
  const uint64_t percent = done * 100u / total;
  return static_cast<int>(std::min<uint64_t>(percent, INT_MAX));
}

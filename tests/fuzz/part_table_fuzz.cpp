// The sidecar of a download on any text: what is accepted tiles the file with the target's own
// parts, and writes back to the same table.
#include <cstdint>
#include <string>

#include "download/part_table.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  PartTable table;
  if (!ParsePartTable(text, kMaxSegments, table)) return 0;
  FUZZ_CHECK(!table.ranges.empty() && table.ranges.size() <= kMaxSegments);
  FUZZ_CHECK(table.size < kMaxFileSize);
  uint64_t covered = 0;
  for (size_t i = 0; i < table.ranges.size(); ++i) {
    const PartRange& range = table.ranges[i];
    FUZZ_CHECK(range.start <= range.end && range.end <= table.size);
    covered += range.end - range.start;
    // "_<index>" and nothing but "_tmp" after it: never a path elsewhere.
    const std::string own = "_" + std::to_string(i);
    FUZZ_CHECK(range.partSuffix.compare(0, own.size(), own) == 0);
    for (size_t at = own.size(); at < range.partSuffix.size(); at += 4)
      FUZZ_CHECK(range.partSuffix.compare(at, 4, "_tmp") == 0);
  }
  FUZZ_CHECK(covered == table.size);

  PartTable again;
  FUZZ_CHECK(ParsePartTable(FormatPartTable(table), kMaxSegments, again));
  FUZZ_CHECK(again.url == table.url && again.size == table.size &&
             again.validator == table.validator && again.ranges.size() == table.ranges.size());
  for (size_t i = 0; i < table.ranges.size(); ++i) {
    FUZZ_CHECK(again.ranges[i].start == table.ranges[i].start &&
               again.ranges[i].end == table.ranges[i].end &&
               again.ranges[i].partSuffix == table.ranges[i].partSuffix);
  }
  return 0;
}

// The sidecar of a download on any text: what is accepted tiles the file with ranges whose
// recorded bytes stay inside them, and writes back to the same table.
#include <cstdint>
#include <string>

#include "download/http_downloader.h"
#include "download/part_table.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  PartTable table;
  if (!ParsePartTable(text, kMaxSegments, table)) return 0;
  FUZZ_CHECK(!table.ranges.empty() && table.ranges.size() <= kMaxSegments);
  FUZZ_CHECK(table.size <= kMaxFileSize);
  uint64_t covered = 0;
  for (const PartRange& range : table.ranges) {
    FUZZ_CHECK(range.start <= range.end && range.end <= table.size);
    FUZZ_CHECK(range.done <= range.end - range.start);
    covered += range.end - range.start;
  }
  FUZZ_CHECK(covered == table.size);

  PartTable again;
  FUZZ_CHECK(ParsePartTable(FormatPartTable(table), kMaxSegments, again));
  FUZZ_CHECK(again.url == table.url && again.size == table.size &&
             again.validator == table.validator && again.validators == table.validators &&
             again.ranges.size() == table.ranges.size());
  for (size_t i = 0; i < table.ranges.size(); ++i) {
    FUZZ_CHECK(again.ranges[i].start == table.ranges[i].start &&
               again.ranges[i].end == table.ranges[i].end &&
               again.ranges[i].done == table.ranges[i].done);
  }
  return 0;
}

// The sidecar `<target>.vantreo`: what a later Start needs to continue a download from its part
// files, as text: the URL, the size, the server's validator (ETag or Last-Modified) and the
// segment table. It is read as untrusted input: whatever does not describe the target's own
// parts tiling the whole file is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr char kSidecarSuffix[] = ".vantreo";
// Downloads whose sidecar and parts have not been written for this long are deleted at Start.
constexpr int64_t kStaleDownloadSeconds = 7 * 24 * 3600;

struct PartRange {
  uint32_t start = 0;
  uint32_t end = 0;        // one past the last byte
  std::string partSuffix;  // the part file is the target's path with this behind it
};

struct PartTable {
  std::string url;
  uint32_t size = 0;
  std::string validator;  // empty: none known, and nothing to continue from
  std::vector<PartRange> ranges;  // segment i is ranges[i]
};

std::string SidecarPath(const std::string& target);

std::string FormatPartTable(const PartTable& table);
// False for text that does not parse, more than `maxRanges` ranges, ranges that overlap, leave
// gaps or run past the size, and part names other than the target's own ("_<index>", then
// any number of "_tmp").
bool ParsePartTable(const std::string& text, int maxRanges, PartTable& table);

// Written to a new file that then replaces the sidecar: a crash never leaves half of one.
bool WritePartTable(const std::string& target, const PartTable& table);
bool ReadPartTable(const std::string& target, int maxRanges, PartTable& table);
// The sidecar and the part files it names.
void DeleteDownloadFiles(const std::string& target, int maxRanges);

// Deletes the sidecars in `folder` not written for maxAgeSeconds, with their parts, when no part
// was written in that time either.
void DeleteStaleDownloads(const std::string& folder, int64_t maxAgeSeconds);

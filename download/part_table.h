// The sidecar `<target>.vantreo`: what a later Start needs to continue a download from its
// download file `<target>.download`, as text: the URL, the size, the server's validator (ETag or
// Last-Modified) and the ranges with the bytes of each that are in the file. It is read as
// untrusted input: whatever does not describe ranges tiling the whole file is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr char kSidecarSuffix[] = ".vantreo";
constexpr char kDownloadSuffix[] = ".download";
// Downloads whose sidecar and file have not been written for this long are deleted at Start.
constexpr int64_t kStaleDownloadSeconds = 7 * 24 * 3600;
// Sizes and offsets are below this: they travel as signed 64-bit decimals.
constexpr uint64_t kMaxFileSize = 0x7fffffffffffffffull;

struct PartRange {
  uint64_t start = 0;
  uint64_t end = 0;   // one past the last byte
  uint64_t done = 0;  // bytes from `start` on that are in the download file
};

struct PartTable {
  std::string url;
  uint64_t size = 0;
  std::string validator;  // empty: none known, and nothing to continue from
  std::vector<PartRange> ranges;
  // For a list of sources (url: their URLs separated by ";"), each one's validator in list
  // order, empty for one not known; no entries: only `validator` is recorded, the defining
  // source's.
  std::vector<std::string> validators;
};

std::string SidecarPath(const std::string& target);
std::string DownloadPath(const std::string& target);

std::string FormatPartTable(const PartTable& table);
// False for text that does not parse, more than `maxRanges` ranges, ranges that overlap, leave
// gaps or run past the size, and a range whose done bytes run past its end.
bool ParsePartTable(const std::string& text, int maxRanges, PartTable& table);

// Written to a new file that then replaces the sidecar: a crash never leaves half of one.
bool WritePartTable(const std::string& target, const PartTable& table);
bool ReadPartTable(const std::string& target, int maxRanges, PartTable& table);
// The sidecar, the download file and the part files an earlier build's sidecar names; nothing
// else ("<target>_1" may be another download's file).
void DeleteDownloadFiles(const std::string& target);

// Deletes the sidecars in `folder` not written for maxAgeSeconds, with their download files
// (and an earlier build's part files), when those were not written in that time either.
void DeleteStaleDownloads(const std::string& folder, int64_t maxAgeSeconds);

#include "download/part_table.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/files.h"

namespace {

const char kMagic[] = "vantreo-parts 1";
const char kTmpName[] = "_tmp";
const char kNewSuffix[] = ".new";
// A sidecar is a few lines per segment; anything larger is not one of ours.
constexpr size_t kMaxSidecarBytes = 16 * 1024;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Plain decimal digits, at most `limit`.
bool ParseNumber(const std::string& text, uint32_t limit, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > limit) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

// "_<index>" then any number of "_tmp": the index, or -1.
long PartIndex(const std::string& suffix) {
  std::string rest = suffix;
  while (EndsWith(rest, kTmpName)) rest.erase(rest.size() - (sizeof kTmpName - 1));
  uint32_t index = 0;
  if (rest.size() < 2 || rest[0] != '_' || (rest.size() > 2 && rest[1] == '0') ||
      !ParseNumber(rest.substr(1), 1000000, index))
    return -1;
  return index;
}

// The sidecar's text a line at a time: each line ends at '\n' or at the end of the text (a
// final '\n' ends the last line; it does not start an empty one).
class LineReader {
 public:
  explicit LineReader(const std::string& text) : text_(text) {}
  bool Next(std::string& line) {
    if (next_ >= text_.size()) return false;
    size_t end = text_.find('\n', next_);
    if (end == std::string::npos) end = text_.size();
    line.assign(text_, next_, end - next_);
    next_ = end + 1;
    return true;
  }

 private:
  const std::string& text_;
  size_t next_ = 0;
};

// The value after "key " on a line of exactly that key.
bool Field(LineReader& in, const std::string& key, std::string& value) {
  std::string line;
  if (!in.Next(line) || line.compare(0, key.size() + 1, key + " ") != 0) return false;
  value = line.substr(key.size() + 1);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The words of a line, separated by any run of blanks.
std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool ParseRange(const std::string& line, uint32_t size, PartRange& range, long& index) {
  const std::vector<std::string> words = SplitWords(line);
  if (words.size() != 5 || words[0] != "segment") return false;
  uint32_t number = 0;
  if (!ParseNumber(words[1], 1000000, number) || !ParseNumber(words[2], size, range.start) ||
      !ParseNumber(words[3], size, range.end) || range.start > range.end ||
      PartIndex(words[4]) != static_cast<long>(number))
    return false;
  index = number;
  range.partSuffix = words[4];
  return true;
}

// The ranges, in the order of their starts, cover 0 to size once.
bool TilesFile(std::vector<PartRange> ranges, uint32_t size) {
  // Empty ranges first where several start at one byte.
  std::sort(ranges.begin(), ranges.end(), [](const PartRange& a, const PartRange& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  uint32_t next = 0;
  for (const PartRange& range : ranges) {
    if (range.start != next) return false;
    next = range.end;
  }
  return next == size;
}

}  // namespace

std::string SidecarPath(const std::string& target) { return target + kSidecarSuffix; }

std::string FormatPartTable(const PartTable& table) {
  std::string text = std::string(kMagic) + "\nurl " + table.url + "\nsize " +
                     std::to_string(table.size) + "\nvalidator " + table.validator + "\n";
  for (size_t i = 0; i < table.ranges.size(); ++i) {
    const PartRange& range = table.ranges[i];
    text += "segment " + std::to_string(i) + " " + std::to_string(range.start) + " " +
            std::to_string(range.end) + " " + range.partSuffix + "\n";
  }
  return text;
}

bool ParsePartTable(const std::string& text, int maxRanges, PartTable& table) {
  table = PartTable();
  LineReader in(text);
  std::string line, sizeText;
  if (!in.Next(line) || line != kMagic || !Field(in, "url", table.url) ||
      !Field(in, "size", sizeText) || !ParseNumber(sizeText, 0x7fffffff, table.size) ||
      !Field(in, "validator", table.validator))
    return false;
  while (in.Next(line)) {
    PartRange range;
    long index = 0;
    if (!ParseRange(line, table.size, range, index)) return false;
    // Segments come in the order of their indexes, each once.
    if (index != static_cast<long>(table.ranges.size()) ||
        static_cast<int>(table.ranges.size()) == maxRanges)
      return false;
    table.ranges.push_back(range);
  }
  return !table.ranges.empty() && TilesFile(table.ranges, table.size);
}

bool WritePartTable(const std::string& target, const PartTable& table) {
  const std::string path = SidecarPath(target);
  const std::string fresh = path + kNewSuffix;
  const std::string text = FormatPartTable(table);
  // Whatever has the new file's name (a link someone put there) goes first, as for the parts.
  platform::RemoveFile(fresh);
  {
    UniqueFile file(platform::OpenFileDenyWrite(fresh, "wb"));
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    if (std::fclose(file.release()) != 0 || !written) {
      platform::RemoveFile(fresh);
      return false;
    }
  }
  if (platform::RenameReplacing(fresh, path)) return true;
  platform::RemoveFile(fresh);
  return false;
}

bool ReadPartTable(const std::string& target, int maxRanges, PartTable& table) {
  UniqueFile file(platform::OpenFileDenyWrite(SidecarPath(target), "rb"));
  if (!file) return false;
  std::string text(kMaxSidecarBytes + 1, '\0');
  text.resize(std::fread(&text[0], 1, text.size(), file.get()));
  return text.size() <= kMaxSidecarBytes && ParsePartTable(text, maxRanges, table);
}

void DeleteDownloadFiles(const std::string& target, int maxRanges) {
  // Only the names its sidecar records: "<target>_1" may as well be another download's file.
  PartTable table;
  if (ReadPartTable(target, maxRanges, table)) {
    for (const PartRange& range : table.ranges) platform::RemoveFile(target + range.partSuffix);
  }
  platform::RemoveFile(SidecarPath(target));
}

void DeleteStaleDownloads(const std::string& folder, int64_t maxAgeSeconds) {
  const std::vector<platform::FolderFile> files = platform::ListFiles(folder);
  const std::string unfinished = std::string(kSidecarSuffix) + kNewSuffix;
  for (const platform::FolderFile& sidecar : files) {
    if (sidecar.ageSeconds < maxAgeSeconds) continue;
    // A sidecar a crash left half-written.
    if (EndsWith(sidecar.name, unfinished)) platform::RemoveFile(folder + sidecar.name);
    if (!EndsWith(sidecar.name, kSidecarSuffix)) continue;
    const std::string stem =
        sidecar.name.substr(0, sidecar.name.size() - (sizeof kSidecarSuffix - 1));
    std::vector<std::string> parts;
    bool stale = true;
    for (const platform::FolderFile& file : files) {
      if (file.name.size() <= stem.size() || file.name.compare(0, stem.size(), stem) != 0 ||
          PartIndex(file.name.substr(stem.size())) < 0)
        continue;
      stale = stale && file.ageSeconds >= maxAgeSeconds;
      parts.push_back(file.name);
    }
    if (!stale) continue;
    for (const std::string& part : parts) platform::RemoveFile(folder + part);
    platform::RemoveFile(folder + sidecar.name);
  }
}

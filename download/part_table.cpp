#include "download/part_table.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "download/source_list.h"
#include "platform/files.h"

namespace {

const char kMagic[] = "vantreo-download 2";
// A list's source and its validator: "source <index> <validator>", between the validator and
// the ranges.
const char kSourceKey[] = "source ";
// An earlier build's sidecar: its ranges were part files "<target>_<index>[_tmp...]".
const char kLegacyMagic[] = "vantreo-parts 1";
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
bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > limit) return false;
  value = number;
  return true;
}

// "_<index>" then any number of "_tmp": an earlier build's part name.
bool IsLegacyPartSuffix(const std::string& suffix) {
  std::string rest = suffix;
  while (EndsWith(rest, kTmpName)) rest.erase(rest.size() - (sizeof kTmpName - 1));
  uint64_t index = 0;
  return rest.size() >= 2 && rest[0] == '_' && (rest.size() == 2 || rest[1] != '0') &&
         ParseNumber(rest.substr(1), 1000000, index);
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

bool ParseRange(const std::string& line, uint64_t size, PartRange& range) {
  const std::vector<std::string> words = SplitWords(line);
  return words.size() == 4 && words[0] == "range" && ParseNumber(words[1], size, range.start) &&
         ParseNumber(words[2], size, range.end) && range.start <= range.end &&
         ParseNumber(words[3], range.end - range.start, range.done);
}

// A source line: its index, below the list's count and above the last one's, and a validator
// (blanks and all).
bool ParseSource(const std::string& line, const std::string& url,
                 std::vector<std::string>& validators) {
  const size_t keyLength = sizeof kSourceKey - 1;
  const size_t space = line.find(' ', keyLength);
  if (space == std::string::npos || space + 1 == line.size()) return false;
  if (validators.empty()) validators.resize(SplitSourceList(url).size());
  uint64_t index = 0;
  if (validators.empty() ||
      !ParseNumber(line.substr(keyLength, space - keyLength), validators.size() - 1, index))
    return false;
  for (size_t later = index; later < validators.size(); ++later) {
    if (!validators[later].empty()) return false;
  }
  validators[index] = line.substr(space + 1);
  return true;
}

// The ranges, in the order of their starts, cover 0 to size once.
bool TilesFile(std::vector<PartRange> ranges, uint64_t size) {
  // Empty ranges first where several start at one byte.
  std::sort(ranges.begin(), ranges.end(), [](const PartRange& a, const PartRange& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  uint64_t next = 0;
  for (const PartRange& range : ranges) {
    if (range.start != next) return false;
    next = range.end;
  }
  return next == size;
}

std::string ReadSidecarText(const std::string& target) {
  UniqueFile file(platform::OpenFileDenyWrite(SidecarPath(target), "rb"));
  if (!file) return std::string();
  std::string text(kMaxSidecarBytes + 1, '\0');
  text.resize(std::fread(&text[0], 1, text.size(), file.get()));
  return text.size() <= kMaxSidecarBytes ? text : std::string();
}

// The part files an earlier build's sidecar names, each checked to be a part name.
std::vector<std::string> LegacyParts(const std::string& text) {
  std::vector<std::string> suffixes;
  LineReader in(text);
  std::string line;
  if (!in.Next(line) || line != kLegacyMagic) return suffixes;
  while (in.Next(line)) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.size() == 5 && words[0] == "segment" && IsLegacyPartSuffix(words[4]))
      suffixes.push_back(words[4]);
  }
  return suffixes;
}

}  // namespace

std::string SidecarPath(const std::string& target) { return target + kSidecarSuffix; }

std::string DownloadPath(const std::string& target) { return target + kDownloadSuffix; }

std::string FormatPartTable(const PartTable& table) {
  std::string text = std::string(kMagic) + "\nurl " + table.url + "\nsize " +
                     std::to_string(table.size) + "\nvalidator " + table.validator + "\n";
  for (size_t i = 0; i < table.validators.size(); ++i) {
    if (!table.validators[i].empty())
      text += kSourceKey + std::to_string(i) + " " + table.validators[i] + "\n";
  }
  for (const PartRange& range : table.ranges) {
    text += "range " + std::to_string(range.start) + " " + std::to_string(range.end) + " " +
            std::to_string(range.done) + "\n";
  }
  return text;
}

bool ParsePartTable(const std::string& text, int maxRanges, PartTable& table) {
  table = PartTable();
  LineReader in(text);
  std::string line, sizeText;
  if (!in.Next(line) || line != kMagic || !Field(in, "url", table.url) ||
      !Field(in, "size", sizeText) || !ParseNumber(sizeText, kMaxFileSize, table.size) ||
      !Field(in, "validator", table.validator))
    return false;
  while (in.Next(line)) {
    if (table.ranges.empty() && line.compare(0, sizeof kSourceKey - 1, kSourceKey) == 0) {
      if (!ParseSource(line, table.url, table.validators)) return false;
      continue;
    }
    PartRange range;
    if (static_cast<int>(table.ranges.size()) == maxRanges ||
        !ParseRange(line, table.size, range))
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
  const std::string text = ReadSidecarText(target);
  return !text.empty() && ParsePartTable(text, maxRanges, table);
}

void DeleteDownloadFiles(const std::string& target) {
  for (const std::string& suffix : LegacyParts(ReadSidecarText(target)))
    platform::RemoveFile(target + suffix);
  platform::RemoveFile(DownloadPath(target));
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
    std::vector<std::string> owned = LegacyParts(ReadSidecarText(folder + stem));
    owned.push_back(kDownloadSuffix);
    bool stale = true;
    for (const platform::FolderFile& file : files) {
      for (const std::string& suffix : owned)
        if (file.name == stem + suffix) stale = stale && file.ageSeconds >= maxAgeSeconds;
    }
    if (stale) DeleteDownloadFiles(folder + stem);
  }
}

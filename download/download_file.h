// One download's file and its progress: segments write their bytes at their offsets into
// `<target>.download`, made at the file's full size before the first byte arrives; the sidecar
// (part_table.h) records how many bytes of each range are in it; once every range is in, the
// file is flushed and renamed to the target. A file another program holds for a moment (a
// virus scanner checking a new file) is waited for, on the same file.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "download/download_error.h"
#include "download/part_table.h"
#include "platform/files.h"

// Waits for a file that another program holds: pauses from kBusyFirstPauseMs growing to
// kBusyMaxPauseMs, kBusyGiveUpMs in all.
constexpr int kBusyFirstPauseMs = 100;
constexpr int kBusyMaxPauseMs = 500;
constexpr int kBusyGiveUpMs = 30000;

// The error a local file fault is for the user: a full disk, a file taken away as infected, or
// a local failure of its own kind (never a network one). `what` says what was done to which
// file, for the log.
DownloadError LocalError(platform::FileFault fault, const std::string& what, int systemCode);

// Runs `attempt` again while another program holds the file, each wait told to `log`; gives up
// after kBusyGiveUpMs with Busy, or at once when `stopped` says so.
platform::FileFault RetryWhileBusy(const std::function<platform::FileFault()>& attempt,
                                   const std::string& what,
                                   const std::function<void(const std::string&)>& log,
                                   const std::function<bool()>& stopped = nullptr);

class DownloadFile {
 public:
  using Log = std::function<void(const std::string& line)>;

  DownloadFile() = default;
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  void SetLog(Log log) { log_ = std::move(log); }
  // Checks the volume's room, removes what an earlier download of `target` left (its file,
  // sidecar, an earlier build's part files) and makes a new file of `size` bytes.
  DownloadError Create(const std::string& target, uint64_t size);
  // Opens the file an earlier run left for `target`, when it has `size` bytes; false otherwise.
  bool Reopen(const std::string& target, uint64_t size);
  bool IsOpen() const { return file_.IsOpen(); }
  const std::string& Target() const { return target_; }

  // Thread-safe: `count` bytes at `offset`.
  DownloadError WriteAt(uint64_t offset, const char* data, size_t count);
  // Records `table` as the download's progress (a later run trusts only what it says).
  void SaveProgress(const PartTable& table);
  // Closes the file and gives it the name `path` (empty: the target's), replacing
  // a file there, on the same volume; the sidecar goes. A file that vanished meanwhile is
  // Quarantined.
  DownloadError Commit(const std::string& path);
  // Closes the file; it and its sidecar stay for a later run.
  void Close();
  // Closes the file and deletes it with its sidecar.
  void Delete();

 private:
  void Note(const std::string& line) const {
    if (log_) log_(line);
  }

  std::string target_;
  uint64_t size_ = 0;
  platform::OffsetFile file_;
  std::mutex sidecarMutex_;
  Log log_;
};

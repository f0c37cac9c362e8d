#include "download/download_file.h"

#include <algorithm>
#include <chrono>
#include <thread>

DownloadError LocalError(platform::FileFault fault, const std::string& what, int systemCode) {
  const std::string reason = what + ": " + platform::FileFaultText(fault) + " (system error " +
                             std::to_string(systemCode) + ")";
  switch (fault) {
    case platform::FileFault::DiskFull:
      return MakeError(DownloadErrorKind::DiskFull, reason);
    case platform::FileFault::Virus:
      return MakeError(DownloadErrorKind::Quarantined, reason);
    default:
      return MakeError(DownloadErrorKind::LocalFile, reason);
  }
}

platform::FileFault RetryWhileBusy(const std::function<platform::FileFault()>& attempt,
                                   const std::string& what,
                                   const std::function<void(const std::string&)>& log,
                                   const std::function<bool()>& stopped) {
  const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyGiveUpMs);
  int pauseMs = kBusyFirstPauseMs;
  while (true) {
    const platform::FileFault fault = attempt();
    if (fault != platform::FileFault::Busy) return fault;
    if (std::chrono::steady_clock::now() >= giveUpAt || (stopped && stopped())) return fault;
    if (log) log(what + ": in use by another program, trying again in " + std::to_string(pauseMs) +
                 " ms");
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    pauseMs = std::min(pauseMs * 2, kBusyMaxPauseMs);
  }
}

DownloadError DownloadFile::Create(const std::string& target, uint64_t size) {
  Close();
  target_ = target;
  size_ = size;
  DeleteDownloadFiles(target);
  const std::string path = DownloadPath(target);
  uint64_t available = 0;
  if (platform::AvailableBytes(platform::FolderOf(target), available) && available < size) {
    Note("not enough room for " + path);
    return DiskFullError(size, available);
  }
  platform::FileFault fault = RetryWhileBusy([&] { return file_.Open(path, true); },
                                             "creating " + path, log_);
  if (fault == platform::FileFault::None) fault = file_.SetSize(size);
  if (fault == platform::FileFault::None) return DownloadError();
  DownloadError error = LocalError(fault, "creating " + path, file_.LastErrorCode());
  if (error.kind == DownloadErrorKind::DiskFull) error = DiskFullError(size, available);
  Delete();
  return error;
}

bool DownloadFile::Reopen(const std::string& target, uint64_t size) {
  Close();
  target_ = target;
  size_ = size;
  const std::string path = DownloadPath(target);
  const platform::FileFault fault =
      RetryWhileBusy([&] { return file_.Open(path, false); }, "opening " + path, log_);
  if (fault == platform::FileFault::None && file_.Size() == size) return true;
  file_.Close();
  return false;
}

DownloadError DownloadFile::WriteAt(uint64_t offset, const char* data, size_t count) {
  const platform::FileFault fault = file_.WriteAt(offset, data, count);
  if (fault == platform::FileFault::None) return DownloadError();
  return LocalError(fault, "writing " + DownloadPath(target_), file_.LastErrorCode());
}

void DownloadFile::SaveProgress(const PartTable& table) {
  std::lock_guard<std::mutex> lock(sidecarMutex_);
  // Without a sidecar the download still finishes; only a later run starts it over.
  if (!target_.empty()) WritePartTable(target_, table);
}

DownloadError DownloadFile::Commit(const std::string& finalPath) {
  const std::string path = DownloadPath(target_);
  const std::string& target = finalPath.empty() ? target_ : finalPath;
  // The bytes are handed to the system as they arrive; waiting for the disk here (fsync)
  // would hold the file's name back for seconds on a large file. A file torn by a power cut
  // fails the program check and is fetched again.
  if (file_.IsOpen()) {
    const uint64_t size = file_.Size();
    file_.Close();
    // Another program cut it: what the segments wrote is not all there.
    if (size != size_)
      return MakeError(DownloadErrorKind::LocalFile, path + " is shorter than the download");
  }
  platform::FileFault fault = platform::FileFault::None;
  // Read-only marks are cleared where a file of the target's name is replaced.
  if (platform::PathExists(target) && !platform::IsDirectory(target))
    platform::SetReadOnly(target, false);
  fault = RetryWhileBusy([&] { return platform::MoveReplacing(path, target); },
                         "renaming " + path + " to " + target, log_);
  if (fault == platform::FileFault::Missing && !platform::PathExists(path)) {
    return MakeError(DownloadErrorKind::Quarantined,
                     path + " was taken away after it was written (security software?)");
  }
  if (fault != platform::FileFault::None)
    return LocalError(fault, "renaming " + path + " to " + target, 0);
  std::lock_guard<std::mutex> lock(sidecarMutex_);
  platform::RemoveFile(SidecarPath(target_));
  return DownloadError();
}

void DownloadFile::Close() { file_.Close(); }

void DownloadFile::Delete() {
  file_.Close();
  if (target_.empty()) return;
  std::lock_guard<std::mutex> lock(sidecarMutex_);
  DeleteDownloadFiles(target_);
}

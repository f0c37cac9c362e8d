// The servers one file is fetched from: a main CDN and its backups, all serving the same file.
// Each source keeps its own address and validator and its own failure count: a source that
// fails is rested for a while (longer after each failure) and, after repeated failures,
// dropped, so that the other sources carry the download.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "download/connection.h"

// Failures in a row after which a source is used no more in this download.
constexpr int kMaxSourceFailures = 3;
// A failed source rests this long, twice as long after each further failure, at most the last.
constexpr int64_t kSourceRestFirstMs = 1000;
constexpr int64_t kSourceRestMaxMs = 30000;

// Where one source serves the file.
struct SourceAddress {
  ServerAddress server;
  std::string urlPrefix;  // absolute, up to its last "/"
  std::string fileName;
};

struct DownloadSource {
  SourceAddress address;
  // Its own size answer's validator: CDNs give the same file different ETags.
  std::string validator;
  // How its size answer was fetched: "http", or "https, certificate <subject>".
  std::string peer;
  int failures = 0;
  int64_t restUntilMs = 0;
  bool dropped = false;
  // Its size is not known yet: no range goes to it until its size answer agrees.
  bool pending = false;
  // The validator it must answer with to join: the one the sidecar recorded for it when the
  // download continues from there; empty: any.
  std::string expected;
  // It agreed after the download started and has not been given a connection yet.
  bool newcomer = false;

  std::string Url() const { return address.urlPrefix + address.fileName; }
};

// Thread-safe: segment threads report their sources' failures while others pick theirs.
class SourceList {
 public:
  void Add(const SourceAddress& address, const std::string& validator,
           const std::string& peer = std::string());
  int Count() const;
  // A copy, for a connection to use.
  DownloadSource At(int index) const;
  // Copies of them all, in list order.
  std::vector<DownloadSource> All() const;
  // Counts a failure of the source and rests it; true when it is dropped now.
  bool Fail(int index, int64_t nowMs);
  // Neither resting at `nowMs` nor dropped.
  bool Usable(int index, int64_t nowMs) const;
  // The source brought a range to its end: its failures are forgiven.
  void Succeeded(int index);
  // The source a connection on `current` should use: `current` while it is usable, else the
  // next usable one in list order after it; `current` when none is (every source failing: the
  // download goes on as with one source).
  int Choose(int current, int64_t nowMs) const;

  // A source whose size is not asked yet: not usable until Agree.
  void AddPending(const SourceAddress& address);
  // Its size answer agreed with the file: it is usable at `address` (where redirects led), with
  // its own validator and how it was reached (`peer`). `late`: the download runs already, and the next connection to start
  // goes to it (TakeNewcomer).
  void Agree(int index, const SourceAddress& address, const std::string& validator,
             const std::string& peer, bool late);
  // Its answer showed another file: it is used no more.
  void Drop(int index);
  // The validator the source must answer with to join (`expected`).
  void Expect(int index, const std::string& validator);
  // The source of the `n`th connection when connections are spread round-robin over the usable
  // sources in list order (it counts as having a connection); 0 when none is usable.
  int Spread(int n, int64_t nowMs);
  // A usable source that joined late and has had no connection yet, now counted as having one;
  // -1 when there is none.
  int TakeNewcomer(int64_t nowMs);

 private:
  bool UsableLocked(int index, int64_t nowMs) const;

  mutable std::mutex mutex_;
  std::vector<DownloadSource> sources_;
};

// Milliseconds of the steady clock: the time base of the rests.
int64_t SteadyMs();

// Cuts a list of URLs separated by ";" into its URLs; blanks around each are dropped, and so
// are empty entries.
std::vector<std::string> SplitSourceList(const std::string& list);

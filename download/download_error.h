// What went wrong with a download, as a value that travels from the HTTP exchange through the
// downloader and the task to whoever shows it: a kind to decide on, and a reason to show.
#pragma once

#include <cstdint>
#include <string>

enum class DownloadErrorKind {
  None,
  Stopped,       // told to stop: no failure of the server's
  Connect,       // no connection (refused, unreachable, name unknown)
  TimedOut,      // the server fell silent
  Closed,        // the connection ended before the answer or its body was whole
  Status,        // an HTTP status other than success (`status` holds it)
  BadAnswer,     // a header or body this program cannot read (cut, malformed, unknown coding)
  BadRange,      // a partial answer for other bytes than those asked for, or several ranges
  Redirect,      // a redirect that cannot be followed
  NoSize,        // the size answer announced no usable length (tried again: it may be a moment's)
  SizeChanged,   // the file on the server is no longer the one whose size was learned
  DiskFull,      // no room on the download folder's volume (`bytesNeeded`, `bytesAvailable`)
  LocalFile,     // the download file cannot be made, written, read or renamed (denied, a
                 // read-only folder, a path too long, held by another program for too long)
  Quarantined,   // the file was taken away (or refused) as infected: security software
  NotWritable,   // no folder to download into
  Certificate,   // the server's certificate is refused (`reason` says why)
  Handshake,     // no TLS session could be agreed with the server
  InsecureRedirect,  // an https address redirected to plain http
  BadAddress,    // the URL names no usable port
  Proxy,         // a proxy refused the request (`status` holds its 407, 403, 502, ...)
};

struct DownloadError {
  DownloadErrorKind kind = DownloadErrorKind::None;
  int status = 0;              // for Status
  int retryAfterSeconds = -1;  // what the server asked for, at most 60; -1: nothing
  uint64_t bytesNeeded = 0;    // for DiskFull: what the download needs on the volume
  uint64_t bytesAvailable = 0; // ... and what it has available to this user
  std::string reason;          // one line, for people

  bool Failed() const { return kind != DownloadErrorKind::None; }
  // Trying again cannot help: the item ends at once.
  bool IsPermanent() const;
  // The server's file is not the one the download began with: start the item over.
  bool NeedsStartOver() const;
  // A fault of this computer (its disk, its folders, its security software), not of a server.
  bool IsLocal() const;
};

DownloadError MakeError(DownloadErrorKind kind, std::string reason);
// The kind's name as the log shows it ("status", "bad range", ...).
const char* DownloadErrorKindName(DownloadErrorKind kind);
DownloadError StatusError(int status, int retryAfterSeconds);
DownloadError DiskFullError(uint64_t needed, uint64_t available);

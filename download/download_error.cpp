#include "download/download_error.h"

bool DownloadError::IsPermanent() const {
  switch (kind) {
    case DownloadErrorKind::Redirect:
    case DownloadErrorKind::NotWritable:
    // The user must act first (free space, allow the file); trying again at once cannot help.
    case DownloadErrorKind::DiskFull:
    case DownloadErrorKind::LocalFile:
    case DownloadErrorKind::Quarantined:
    // Trying a refused certificate again, or without TLS, would only hand the download to
    // whoever is in between.
    case DownloadErrorKind::Certificate:
    case DownloadErrorKind::Handshake:
    case DownloadErrorKind::InsecureRedirect:
    case DownloadErrorKind::BadAddress:
      return true;
    case DownloadErrorKind::Proxy:
      // A sign-in or a ban by the proxy stays; a proxy that found no way to the server (502,
      // 504) may find one later.
      return status == 407 || status == 403;
    case DownloadErrorKind::Status:
      // A client error stays one, but for a time-out and a request to slow down; 416 means
      // the file is shorter than thought and is dealt with by starting over.
      return status >= 400 && status < 500 && status != 408 && status != 429 && status != 416;
    default:
      return false;
  }
}

bool DownloadError::NeedsStartOver() const {
  return kind == DownloadErrorKind::SizeChanged ||
         (kind == DownloadErrorKind::Status && status == 416);
}

bool DownloadError::IsLocal() const {
  return kind == DownloadErrorKind::DiskFull || kind == DownloadErrorKind::LocalFile ||
         kind == DownloadErrorKind::Quarantined || kind == DownloadErrorKind::NotWritable;
}

DownloadError MakeError(DownloadErrorKind kind, std::string reason) {
  DownloadError error;
  error.kind = kind;
  error.reason = std::move(reason);
  return error;
}

DownloadError StatusError(int status, int retryAfterSeconds) {
  DownloadError error = MakeError(DownloadErrorKind::Status,
                                  "the server answered with status " + std::to_string(status));
  error.status = status;
  error.retryAfterSeconds = retryAfterSeconds;
  return error;
}

DownloadError DiskFullError(uint64_t needed, uint64_t available) {
  DownloadError error = MakeError(DownloadErrorKind::DiskFull,
                                  "not enough disk space: " + std::to_string(needed) +
                                      " bytes needed, " + std::to_string(available) +
                                      " available");
  error.bytesNeeded = needed;
  error.bytesAvailable = available;
  return error;
}

const char* DownloadErrorKindName(DownloadErrorKind kind) {
  switch (kind) {
    case DownloadErrorKind::None: return "none";
    case DownloadErrorKind::Stopped: return "stopped";
    case DownloadErrorKind::Connect: return "connect";
    case DownloadErrorKind::TimedOut: return "time-out";
    case DownloadErrorKind::Closed: return "closed";
    case DownloadErrorKind::Status: return "status";
    case DownloadErrorKind::BadAnswer: return "bad answer";
    case DownloadErrorKind::BadRange: return "bad range";
    case DownloadErrorKind::Redirect: return "redirect";
    case DownloadErrorKind::NoSize: return "no size";
    case DownloadErrorKind::SizeChanged: return "size changed";
    case DownloadErrorKind::DiskFull: return "disk full";
    case DownloadErrorKind::LocalFile: return "local file";
    case DownloadErrorKind::Quarantined: return "taken by security software";
    case DownloadErrorKind::NotWritable: return "not writable";
    case DownloadErrorKind::Certificate: return "certificate";
    case DownloadErrorKind::Handshake: return "handshake";
    case DownloadErrorKind::InsecureRedirect: return "insecure redirect";
    case DownloadErrorKind::BadAddress: return "bad address";
    case DownloadErrorKind::Proxy: return "proxy";
  }
  return "unknown";
}

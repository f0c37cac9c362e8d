// The parts of the TLS layer that are the same in every build.
#include "platform/tls.h"

namespace platform {

const char* TlsErrorText(TlsError error) {
  switch (error) {
    case TlsError::None: return "ok";
    case TlsError::TimedOut: return "timed out";
    case TlsError::Closed: return "connection closed";
    case TlsError::UntrustedRoot: return "untrusted root";
    case TlsError::NameMismatch: return "name mismatch";
    case TlsError::Expired: return "expired";
    case TlsError::BadCertificate: return "bad certificate";
    case TlsError::HandshakeFailed: return "handshake failed";
    case TlsError::BadRoots: return "no certificate in the pinned roots";
    case TlsError::Unavailable: return "TLS library unavailable";
    case TlsError::IoFailed: return "connection failed";
    case TlsError::Stalled: return "no answer during the handshake";
    case TlsError::RecordRejected: return "record rejected";
    case TlsError::Stopped: return "stopped";
  }
  return "unknown";
}

}  // namespace platform

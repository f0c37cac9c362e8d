// A TLS client stream over a connected socket: SChannel on Windows, OpenSSL elsewhere. The
// server's certificate is checked by this layer itself (chain to a trusted root, host name or
// IP address, validity), so that a system TLS library that accepts any certificate cannot let a
// replaced download through. Used the way a plain socket is: send all, receive some within a
// short time-out, wait until readable, close.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/sockets.h"

namespace platform {

// What a TLS call came to. None, TimedOut and Closed are outcomes of a receive; the rest are
// failures, each with its own reason.
enum class TlsError {
  None,             // done
  TimedOut,         // nothing arrived within the time-out; the stream is still good
  Closed,           // the peer ended the stream
  UntrustedRoot,    // the certificate does not lead to a trusted root (unknown CA, missing link)
  NameMismatch,     // the certificate is not for the host name or address asked for
  Expired,          // the certificate, or one above it, is outside its validity period
  BadCertificate,   // any other fault of the certificate (wrong usage, bad signature)
  HandshakeFailed,  // the server agrees on no TLS 1.2 or later protocol or cipher, or does not
                    // speak TLS at all
  BadRoots,         // the pinned roots hold no readable certificate
  Unavailable,      // the system's TLS library could not be loaded
  IoFailed,         // the connection failed or stalled while sending or receiving, or it
                    // closed or broke during the handshake
  Stalled,          // the server sent nothing more within the handshake's time-out
  RecordRejected,   // the server sent a record that does not decrypt
  Stopped,          // the caller's stop test ended the handshake
};

// A short English reason for logs and messages, e.g. "untrusted root".
const char* TlsErrorText(TlsError error);

// True when the call failed (None, TimedOut and Closed are not failures).
inline bool IsTlsFailure(TlsError error) {
  return error != TlsError::None && error != TlsError::TimedOut && error != TlsError::Closed;
}

class TlsStream {
 public:
  TlsStream();
  ~TlsStream();
  TlsStream(TlsStream&& other) noexcept;
  TlsStream& operator=(TlsStream&& other) noexcept;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Takes the connected socket, runs the handshake (TLS 1.2 or later, `host` as the server
  // name) and checks the server's certificate for `host` (a name or a dotted IPv4 address).
  // `pinnedRootsPem` empty: the system's trusted roots; otherwise only the certificates of this
  // PEM text are trusted roots. `timeoutMs` bounds the whole handshake and, later, each send's
  // wait for the peer to take bytes; `stopped`, when given, is asked at least every 100 ms and
  // ends the handshake. On any failure the socket is closed and the stream stays closed; no
  // byte of application data has been sent. A refused certificate (UntrustedRoot ...
  // BadCertificate, BadRoots) and HandshakeFailed are the server's answer and stay so on a
  // retry; Stalled and IoFailed are the transport's and may not.
  TlsError Connect(Socket socket, const std::string& host, const std::string& pinnedRootsPem,
                   int timeoutMs, const std::function<bool()>& stopped = {});

  bool IsOpen() const;

  // Sends all `length` bytes, or fails (IoFailed) after the connect's time-out of no progress.
  TlsError Send(const char* data, int length);

  // Receives up to `capacity` bytes: None with `received` > 0, TimedOut when nothing came
  // within `timeoutMs` (0 looks once), Closed when the peer ended the stream, or a failure.
  TlsError Receive(char* buffer, int capacity, int timeoutMs, int& received);

  // True when a receive would return at once: decrypted bytes are waiting, a whole record is
  // buffered, or the socket has bytes or a close to read within the time-out.
  bool WaitReadable(int timeoutMs);

  // The server certificate's subject (e.g. "CN=down.vantreo.com"), empty when not connected.
  const std::string& PeerSubject() const;

  // Tells the peer the stream ends (close_notify), when it is still open, and closes the socket.
  void Close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform

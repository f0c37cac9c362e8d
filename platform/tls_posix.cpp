// The TLS stream on OpenSSL (libssl). The socket is non-blocking for the stream's life, so that
// no read of a half-arrived record can block past the caller's time-out.
#include "platform/tls.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using StopTest = std::function<bool()>;

// The longest a wait goes without asking the caller's stop test.
constexpr int kStopSliceMs = 100;

struct CtxFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until the socket is readable (or writable), in slices when there is a stop test.
// TimedOut at the deadline (after one look even when it has passed), Stopped when told to.
TlsError WaitSocket(socket_t socket, bool write, Clock::time_point deadline,
                    const StopTest& stopped) {
  for (;;) {
    if (stopped && stopped()) return TlsError::Stopped;
    const int left = MillisecondsLeft(deadline);
    pollfd entry{static_cast<int>(socket), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int ready = poll(&entry, 1, stopped ? std::min(left, kStopSliceMs) : left);
    // An error is left for the next TLS call on the socket to report.
    if (ready > 0 || (ready < 0 && errno != EINTR)) return TlsError::None;
    if (left == 0) return TlsError::TimedOut;
  }
}

// Adds every certificate of the PEM text to the store; false when there was none.
bool AddPinnedRoots(X509_STORE* store, const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return false;
  int added = 0;
  while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_cert(store, certificate) == 1) ++added;
    X509_free(certificate);
  }
  ERR_clear_error();  // the end of the text reads as an error
  return added > 0;
}

TlsError FromVerifyResult(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsError::Expired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsError::NameMismatch;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return TlsError::UntrustedRoot;
    default:
      return TlsError::BadCertificate;
  }
}

// A handshake that ended without a certificate fault: the connection closed or broke under
// it (worth another try), or the server refused or did not speak TLS (not worth one).
TlsError FromHandshakeError(int error) {
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) return TlsError::IoFailed;
  const unsigned long reason = ERR_peek_error();
  if (ERR_GET_LIB(reason) == ERR_LIB_SSL &&
      ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
    return TlsError::IoFailed;
  return TlsError::HandshakeFailed;
}

std::string SubjectOf(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!certificate || !bio) return std::string();
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
  char* text = nullptr;
  long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<size_t>(length));
}

// A context that allows TLS 1.2 or later and verifies the peer against the pinned roots, or
// the system's when there are none.
TlsError MakeContext(const std::string& pinnedRootsPem, CtxPtr& context) {
  context.reset(SSL_CTX_new(TLS_client_method()));
  if (!context) return TlsError::Unavailable;
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // A close without close_notify is a close: the HTTP layer knows the lengths it expects.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  if (pinnedRootsPem.empty()) {
    if (SSL_CTX_set_default_verify_paths(context.get()) != 1) return TlsError::Unavailable;
  } else if (!AddPinnedRoots(SSL_CTX_get_cert_store(context.get()), pinnedRootsPem)) {
    return TlsError::BadRoots;
  }
  return TlsError::None;
}

// Names the server (SNI) and sets what its certificate must match: an IP address entry for a
// dotted address, else a DNS name (no partial wildcards).
bool SetPeerName(SSL* ssl, const std::string& host) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1) return true;
  ERR_clear_error();
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(ssl, host.c_str()) == 1 &&
         SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

}  // namespace

struct TlsStream::Impl {
  Socket socket;
  CtxPtr context;
  SslPtr ssl;
  int timeoutMs = 0;
  std::string subject;
  bool failed = false;  // no close_notify after a failure

  TlsError Handshake(const StopTest& stopped);
};

TlsError TlsStream::Impl::Handshake(const StopTest& stopped) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(ssl.get());
    if (result == 1) return TlsError::None;
    const int error = SSL_get_error(ssl.get(), result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      const long verified = SSL_get_verify_result(ssl.get());
      return verified != X509_V_OK ? FromVerifyResult(verified) : FromHandshakeError(error);
    }
    const TlsError waited =
        WaitSocket(socket.Handle(), error == SSL_ERROR_WANT_WRITE, deadline, stopped);
    if (waited == TlsError::TimedOut) return TlsError::Stalled;
    if (waited != TlsError::None) return waited;
  }
}

TlsStream::TlsStream() = default;
TlsStream::~TlsStream() { Close(); }
TlsStream::TlsStream(TlsStream&& other) noexcept = default;
TlsStream& TlsStream::operator=(TlsStream&& other) noexcept {
  if (this != &other) {
    Close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

TlsError TlsStream::Connect(Socket socket, const std::string& host,
                            const std::string& pinnedRootsPem, int timeoutMs,
                            const std::function<bool()>& stopped) {
  Close();
  auto impl = std::make_unique<Impl>();
  impl->socket = std::move(socket);
  impl->timeoutMs = timeoutMs;
  if (!impl->socket.IsValid() || !SetSocketNonBlocking(impl->socket.Handle(), true))
    return TlsError::IoFailed;
  TlsError made = MakeContext(pinnedRootsPem, impl->context);
  if (made != TlsError::None) return made;
  impl->ssl.reset(SSL_new(impl->context.get()));
  if (!impl->ssl || !SetPeerName(impl->ssl.get(), host) ||
      SSL_set_fd(impl->ssl.get(), static_cast<int>(impl->socket.Handle())) != 1)
    return TlsError::Unavailable;
  TlsError shaken = impl->Handshake(stopped);
  if (shaken != TlsError::None) return shaken;
  X509* peer = SSL_get1_peer_certificate(impl->ssl.get());
  impl->subject = SubjectOf(peer);
  X509_free(peer);
  impl_ = std::move(impl);
  return TlsError::None;
}

bool TlsStream::IsOpen() const { return impl_ != nullptr; }

TlsError TlsStream::Send(const char* data, int length) {
  if (!impl_) return TlsError::IoFailed;
  while (length > 0) {
    ERR_clear_error();
    size_t written = 0;
    const int result = SSL_write_ex(impl_->ssl.get(), data, static_cast<size_t>(length), &written);
    if (result == 1) {
      data += written;
      length -= static_cast<int>(written);
      continue;
    }
    const int error = SSL_get_error(impl_->ssl.get(), result);
    // Each wait is as long as the connection's time-out: a peer that takes nothing fails.
    if ((error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) &&
        WaitSocket(impl_->socket.Handle(), error == SSL_ERROR_WANT_WRITE,
                   Clock::now() + std::chrono::milliseconds(impl_->timeoutMs),
                   StopTest()) == TlsError::None)
      continue;
    impl_->failed = true;
    return TlsError::IoFailed;
  }
  return TlsError::None;
}

TlsError TlsStream::Receive(char* buffer, int capacity, int timeoutMs, int& received) {
  received = 0;
  if (!impl_) return TlsError::IoFailed;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool waited = false;
  for (;;) {
    ERR_clear_error();
    size_t got = 0;
    const int result =
        SSL_read_ex(impl_->ssl.get(), buffer, static_cast<size_t>(capacity), &got);
    if (result == 1) {
      received = static_cast<int>(got);
      return TlsError::None;
    }
    const int error = SSL_get_error(impl_->ssl.get(), result);
    if (error == SSL_ERROR_ZERO_RETURN) return TlsError::Closed;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      impl_->failed = true;
      return error == SSL_ERROR_SSL ? TlsError::RecordRejected : TlsError::IoFailed;
    }
    // Nothing whole to give yet: a look at the socket, then another read, until the deadline
    // (a time-out of 0 still looks once).
    if (waited && MillisecondsLeft(deadline) == 0) return TlsError::TimedOut;
    if (WaitSocket(impl_->socket.Handle(), error == SSL_ERROR_WANT_WRITE, deadline,
                   StopTest()) != TlsError::None)
      return TlsError::TimedOut;
    waited = true;
  }
}

bool TlsStream::WaitReadable(int timeoutMs) {
  if (!impl_) return false;
  if (SSL_pending(impl_->ssl.get()) > 0) return true;
  return WaitSocket(impl_->socket.Handle(), false,
                    Clock::now() + std::chrono::milliseconds(timeoutMs),
                    StopTest()) == TlsError::None;
}

const std::string& TlsStream::PeerSubject() const {
  static const std::string kNone;
  return impl_ ? impl_->subject : kNone;
}

void TlsStream::Close() {
  if (!impl_) return;
  // One try at close_notify; a peer that takes nothing more is not waited for.
  if (!impl_->failed) {
    ERR_clear_error();
    SSL_shutdown(impl_->ssl.get());
  }
  ERR_clear_error();
  impl_.reset();
}

}  // namespace platform

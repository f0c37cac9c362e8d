// The TLS stream on SChannel through SSPI, over our own socket. SChannel carries the records
// only: it is told not to judge the server's certificate (manual validation), and this file
// checks the chain, the trust of its root, the validity and the host name itself, so that the
// decision is the same on every system, including ones whose SChannel accepts any certificate.
// secur32 and crypt32 are loaded from the system folder at run time, never from the program's.
#include "platform/system_library_win32.h"
#include "platform/text_win32.h"
#include "platform/tls.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using StopTest = std::function<bool()>;

// The longest a wait goes without asking the caller's stop test.
constexpr int kStopSliceMs = 100;
// A TLS record header: type, version, length; SChannel must not be handed less.
constexpr size_t kRecordHeaderBytes = 5;
constexpr int kReceiveChunk = 16 * 1024;
// The SSL policy's flag to leave out its name check (wininet.h's value, not included here).
constexpr DWORD kIgnoreNameCheck = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// The functions taken from crypt32.
struct Crypt32 {
  decltype(&CertGetCertificateChain) getChain;
  decltype(&CertFreeCertificateChain) freeChain;
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy;
  decltype(&CertCreateCertificateChainEngine) createEngine;
  decltype(&CertFreeCertificateChainEngine) freeEngine;
  decltype(&CertOpenStore) openStore;
  decltype(&CertCloseStore) closeStore;
  decltype(&CertAddEncodedCertificateToStore) addEncoded;
  decltype(&CertFreeCertificateContext) freeCertificate;
  decltype(&CertFindExtension) findExtension;
  decltype(&CryptDecodeObjectEx) decodeObject;
  decltype(&CryptStringToBinaryW) stringToBinary;
  decltype(&CertNameToStrW) nameToString;
};

struct Apis {
  PSecurityFunctionTableW sspi = nullptr;
  Crypt32 crypt{};
};

template <typename Function>
bool Bind(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

bool BindCrypt32(HMODULE module, Crypt32& c) {
  return Bind(module, "CertGetCertificateChain", c.getChain) &&
         Bind(module, "CertFreeCertificateChain", c.freeChain) &&
         Bind(module, "CertVerifyCertificateChainPolicy", c.verifyPolicy) &&
         Bind(module, "CertCreateCertificateChainEngine", c.createEngine) &&
         Bind(module, "CertFreeCertificateChainEngine", c.freeEngine) &&
         Bind(module, "CertOpenStore", c.openStore) &&
         Bind(module, "CertCloseStore", c.closeStore) &&
         Bind(module, "CertAddEncodedCertificateToStore", c.addEncoded) &&
         Bind(module, "CertFreeCertificateContext", c.freeCertificate) &&
         Bind(module, "CertFindExtension", c.findExtension) &&
         Bind(module, "CryptDecodeObjectEx", c.decodeObject) &&
         Bind(module, "CryptStringToBinaryW", c.stringToBinary) &&
         Bind(module, "CertNameToStrW", c.nameToString);
}

// Both libraries, loaded once for the life of the process (never unloaded: streams on other
// threads may be using them); null when either is missing.
const Apis* LoadApis() {
  static const Apis* const apis = []() -> const Apis* {
    static Apis loaded;
    HMODULE secur32 = SystemLibrary(L"secur32.dll");
    HMODULE crypt32 = SystemLibrary(L"crypt32.dll");
    INIT_SECURITY_INTERFACE_W init = nullptr;
    if (secur32 == nullptr || crypt32 == nullptr ||
        !Bind(secur32, "InitSecurityInterfaceW", init) || !BindCrypt32(crypt32, loaded.crypt))
      return nullptr;
    loaded.sspi = init();
    return loaded.sspi != nullptr ? &loaded : nullptr;
  }();
  return apis;
}

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until the socket has bytes or a close to read, in slices when there is a stop test.
TlsError WaitSocket(socket_t socket, Clock::time_point deadline, const StopTest& stopped) {
  for (;;) {
    if (stopped && stopped()) return TlsError::Stopped;
    const int left = MillisecondsLeft(deadline);
    if (WaitReadable(socket, stopped ? std::min(left, kStopSliceMs) : left)) return TlsError::None;
    if (left == 0) return TlsError::TimedOut;
  }
}

bool SendAll(socket_t socket, const char* data, size_t length) {
  while (length > 0) {
    const int sent = SendBytes(socket, data, static_cast<int>(length));
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// A dotted IPv4 address in network byte order, or false for a host name.
bool ParseIPv4(const std::string& host, in_addr& address) {
  return InetPtonW(AF_INET, Utf8ToWide(host).c_str(), &address) == 1;
}

// True unless the bytes cannot begin a TLS record (content type 20-23, major version 3): a
// server that answers in plain text fails at once instead of being waited for as a long record.
bool CouldBeRecord(const std::string& bytes) {
  if (bytes.empty()) return true;
  const auto type = static_cast<unsigned char>(bytes[0]);
  return type >= 20 && type <= 23 && (bytes.size() < 2 || bytes[1] == 3);
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The base64 bodies of the PEM text's certificates.
std::vector<std::string> PemCertificates(const std::string& pem) {
  static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string kEnd = "-----END CERTIFICATE-----";
  std::vector<std::string> bodies;
  size_t at = 0;
  for (;;) {
    size_t begin = pem.find(kBegin, at);
    if (begin == std::string::npos) break;
    begin += kBegin.size();
    size_t end = pem.find(kEnd, begin);
    if (end == std::string::npos) break;
    bodies.push_back(pem.substr(begin, end - begin));
    at = end + kEnd.size();
  }
  return bodies;
}

// The engine configuration up to hExclusiveRoot and hExclusiveTrustedPeople, without the later
// dwExclusiveFlags: the size every system with an exclusive root accepts (Wine refuses the
// longer one). The headers, built for Windows 7, end the structure there.
constexpr DWORD kEngineConfigSize =
    offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
static_assert(kEngineConfigSize == sizeof(CERT_CHAIN_ENGINE_CONFIG),
              "the chain engine configuration must end before dwExclusiveFlags");

// The pinned roots as a chain engine that trusts them and nothing else.
class PinnedEngine {
 public:
  explicit PinnedEngine(const Crypt32& crypt) : crypt_(crypt) {}
  ~PinnedEngine() {
    if (engine_ != nullptr) crypt_.freeEngine(engine_);
    if (store_ != nullptr) crypt_.closeStore(store_, 0);
  }
  PinnedEngine(const PinnedEngine&) = delete;
  PinnedEngine& operator=(const PinnedEngine&) = delete;

  TlsError Create(const std::string& pem) {
    store_ = crypt_.openStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store_ == nullptr) return TlsError::Unavailable;
    int added = 0;
    for (const std::string& text : PemCertificates(pem)) {
      const std::wstring body = Utf8ToWide(text);
      DWORD size = 0;
      if (!crypt_.stringToBinary(body.c_str(), static_cast<DWORD>(body.size()),
                                 CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
        continue;
      std::vector<BYTE> der(size);
      if (crypt_.stringToBinary(body.c_str(), static_cast<DWORD>(body.size()),
                                CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr) &&
          crypt_.addEncoded(store_, X509_ASN_ENCODING, der.data(), size,
                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        ++added;
    }
    if (added == 0) return TlsError::BadRoots;
    CERT_CHAIN_ENGINE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.cbSize = kEngineConfigSize;
    config.hExclusiveRoot = store_;
    return crypt_.createEngine(&config, &engine_) ? TlsError::None : TlsError::Unavailable;
  }
  HCERTCHAINENGINE Handle() const { return engine_; }

 private:
  const Crypt32& crypt_;
  HCERTSTORE store_ = nullptr;
  HCERTCHAINENGINE engine_ = nullptr;
};

TlsError FromTrustStatus(DWORD status) {
  if (status == CERT_TRUST_NO_ERROR) return TlsError::None;
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_NOT_SIGNATURE_VALID))
    return TlsError::UntrustedRoot;
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return TlsError::Expired;
  return TlsError::BadCertificate;
}

TlsError FromPolicyError(DWORD error) {
  switch (error) {
    case 0: return TlsError::None;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return TlsError::NameMismatch;
    case static_cast<DWORD>(CERT_E_EXPIRED): return TlsError::Expired;
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE): return TlsError::UntrustedRoot;
    default: return TlsError::BadCertificate;
  }
}

// True when the certificate names the address among its IP entries (subjectAltName).
bool HasIpEntry(const Crypt32& crypt, PCCERT_CONTEXT certificate, const in_addr& address) {
  PCERT_EXTENSION extension =
      crypt.findExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                          certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!crypt.decodeObject(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                          extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                          &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = found || (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                      entry.IPAddress.cbData == sizeof address &&
                      std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0);
  }
  LocalFree(names);
  return found;
}

std::string SubjectOf(const Crypt32& crypt, PCCERT_CONTEXT certificate) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  DWORD size = crypt.nameToString(X509_ASN_ENCODING, subject, type, nullptr, 0);
  if (size <= 1) return std::string();
  std::wstring text(size, L'\0');
  crypt.nameToString(X509_ASN_ENCODING, subject, type, &text[0], size);
  return WideToUtf8(text);
}

}  // namespace

struct TlsStream::Impl {
  const Apis* apis = nullptr;
  Socket socket;
  CredHandle credentials{};
  bool haveCredentials = false;
  CtxtHandle context{};
  bool haveContext = false;
  SecPkgContext_StreamSizes sizes{};
  std::string host;
  std::string encrypted;  // received, not yet decrypted
  std::string plain;      // decrypted, from plainOffset on not yet given out
  size_t plainOffset = 0;
  bool peerClosed = false;
  bool failed = false;  // no close_notify after a failure
  int timeoutMs = 0;
  std::string subject;
  std::string pinnedRootsPem;

  ~Impl();
  TlsError AcquireCredentials();
  TlsError ReadMore(Clock::time_point deadline, const StopTest& stopped);
  TlsError Negotiate(Clock::time_point deadline, const StopTest& stopped);
  TlsError CheckCertificate();
  TlsError Established();
  TlsError Renegotiate();
  TlsError CheckChain(PCCERT_CONTEXT leaf, HCERTCHAINENGINE engine);
  TlsError DecryptBuffered();
  void SendCloseNotify();
};

TlsStream::Impl::~Impl() {
  if (haveContext) apis->sspi->DeleteSecurityContext(&context);
  if (haveCredentials) apis->sspi->FreeCredentialsHandle(&credentials);
}

TlsError TlsStream::Impl::AcquireCredentials() {
  // TLS 1.3 where the system has it, else 1.2; never anything older.
  for (DWORD protocols : {static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                          static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
    SCHANNEL_CRED data;
    std::memset(&data, 0, sizeof data);
    data.dwVersion = SCHANNEL_CRED_VERSION;
    data.grbitEnabledProtocols = protocols;
    data.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    if (apis->sspi->AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                              SECPKG_CRED_OUTBOUND, nullptr, &data, nullptr,
                                              nullptr, &credentials, &expiry) == SEC_E_OK) {
      haveCredentials = true;
      return TlsError::None;
    }
  }
  return TlsError::Unavailable;
}

TlsError TlsStream::Impl::ReadMore(Clock::time_point deadline, const StopTest& stopped) {
  const TlsError waited = WaitSocket(socket.Handle(), deadline, stopped);
  if (waited != TlsError::None) return waited;
  char chunk[kReceiveChunk];
  const int got = ReceiveBytes(socket.Handle(), chunk, sizeof chunk);
  if (got == 0) return TlsError::Closed;
  if (got < 0) return TlsError::IoFailed;
  encrypted.append(chunk, static_cast<size_t>(got));
  return TlsError::None;
}

// Runs handshake steps until the session is set up; bytes left after it stay in `encrypted`.
TlsError TlsStream::Impl::Negotiate(Clock::time_point deadline, const StopTest& stopped) {
  const std::wstring target = Widen(host);
  in_addr address;
  // No server name is sent for an address.
  SEC_WCHAR* name = ParseIPv4(host, address) ? nullptr : const_cast<SEC_WCHAR*>(target.c_str());
  for (;;) {
    const bool first = !haveContext;
    SecBuffer input[2] = {{static_cast<ULONG>(encrypted.size()), SECBUFFER_TOKEN, &encrypted[0]},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
    SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, &output};
    ULONG attributes = 0;
    const SECURITY_STATUS status = apis->sspi->InitializeSecurityContextW(
        &credentials, first ? nullptr : &context, name, kContextRequest, 0, 0,
        first ? nullptr : &inputDesc, 0, &context, &outputDesc, &attributes, nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) haveContext = true;
    if (output.pvBuffer != nullptr) {
      const bool sent = SendAll(socket.Handle(), static_cast<const char*>(output.pvBuffer),
                                output.cbBuffer);
      apis->sspi->FreeContextBuffer(output.pvBuffer);
      if (!sent) return TlsError::IoFailed;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // no client certificate: go on
    if (!CouldBeRecord(encrypted)) return TlsError::HandshakeFailed;
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
        status != SEC_E_INCOMPLETE_MESSAGE)
      return TlsError::HandshakeFailed;
    if (status != SEC_E_INCOMPLETE_MESSAGE && !first) {
      // What the step did not use belongs to the next step (or, after the last, to the data).
      if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0)
        encrypted.erase(0, encrypted.size() - input[1].cbBuffer);
      else
        encrypted.clear();
    }
    if (status == SEC_E_OK) return TlsError::None;
    // A step may end with no output and bytes left over: those go in first, unread.
    if (status == SEC_I_CONTINUE_NEEDED && !encrypted.empty()) continue;
    // A silent or closed transport is the network's fault, not the server's refusal.
    const TlsError read = ReadMore(deadline, stopped);
    if (read == TlsError::TimedOut) return TlsError::Stalled;
    if (read == TlsError::Closed) return TlsError::IoFailed;
    if (read != TlsError::None) return read;
  }
}

TlsError TlsStream::Impl::CheckChain(PCCERT_CONTEXT leaf, HCERTCHAINENGINE engine) {
  const Crypt32& crypt = apis->crypt;
  LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para;
  std::memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // The certificates the server sent along (leaf->hCertStore) may complete the chain.
  if (!crypt.getChain(engine, leaf, nullptr, leaf->hCertStore, &para, 0, nullptr, &chain))
    return TlsError::UntrustedRoot;
  // The policy check alone lets some broken chains through (a lone leaf of an unknown CA on
  // some systems): the chain's own status must be clean too.
  TlsError result = FromTrustStatus(chain->TrustStatus.dwErrorStatus);
  in_addr address;
  const bool isAddress = ParseIPv4(host, address);
  const std::wstring name = Widen(host);
  if (result == TlsError::None) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // An address is compared with the IP entries below, not by the name check.
    ssl.fdwChecks = isAddress ? kIgnoreNameCheck : 0;
    ssl.pwszServerName = isAddress ? nullptr : const_cast<wchar_t*>(name.c_str());
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    result = crypt.verifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)
                 ? FromPolicyError(status.dwError)
                 : TlsError::BadCertificate;
  }
  crypt.freeChain(chain);
  if (result == TlsError::None && isAddress && !HasIpEntry(crypt, leaf, address))
    return TlsError::NameMismatch;
  return result;
}

TlsError TlsStream::Impl::CheckCertificate() {
  const Crypt32& crypt = apis->crypt;
  PCCERT_CONTEXT leaf = nullptr;
  if (apis->sspi->QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) !=
          SEC_E_OK ||
      leaf == nullptr)
    return TlsError::BadCertificate;
  subject = SubjectOf(crypt, leaf);
  PinnedEngine pinned(crypt);
  TlsError result = pinnedRootsPem.empty() ? TlsError::None : pinned.Create(pinnedRootsPem);
  if (result == TlsError::None) result = CheckChain(leaf, pinned.Handle());
  crypt.freeCertificate(leaf);
  return result;
}

// After a handshake: the server's certificate is checked, and the record sizes of the session
// are learnt.
TlsError TlsStream::Impl::Established() {
  const TlsError checked = CheckCertificate();
  if (checked != TlsError::None) return checked;
  return apis->sspi->QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) == SEC_E_OK
             ? TlsError::None
             : TlsError::HandshakeFailed;
}

// The server asked for a new handshake (or, in TLS 1.3, sent a message after it, such as a
// session ticket): it is run, and whatever certificate the session now has is checked exactly
// as the first. A failure ends the stream.
TlsError TlsStream::Impl::Renegotiate() {
  TlsError result = Negotiate(Clock::now() + std::chrono::milliseconds(timeoutMs), StopTest());
  if (result == TlsError::None) result = Established();
  if (result != TlsError::None) failed = true;
  return result;
}

// Decrypts buffered records until plain bytes come out, a record is still incomplete, or the
// peer ended the session.
TlsError TlsStream::Impl::DecryptBuffered() {
  while (plainOffset == plain.size() && !peerClosed && encrypted.size() >= kRecordHeaderBytes) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(encrypted.size()), SECBUFFER_DATA, &encrypted[0]},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = apis->sspi->DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return TlsError::None;
    if (status == SEC_I_CONTEXT_EXPIRED) {
      peerClosed = true;
      return TlsError::None;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      failed = true;
      return TlsError::RecordRejected;
    }
    // A close_notify may also come back as SEC_E_OK with no data: the socket's close follows.
    std::string rest;
    plain.clear();
    plainOffset = 0;
    for (const SecBuffer& buffer : buffers) {
      const char* bytes = static_cast<const char*>(buffer.pvBuffer);
      if (buffer.BufferType == SECBUFFER_DATA) plain.assign(bytes, buffer.cbBuffer);
      if (buffer.BufferType == SECBUFFER_EXTRA) rest.assign(bytes, buffer.cbBuffer);
    }
    encrypted.swap(rest);
    if (status == SEC_I_RENEGOTIATE) {
      const TlsError renegotiated = Renegotiate();
      if (renegotiated != TlsError::None) return renegotiated;
    }
  }
  return TlsError::None;
}

void TlsStream::Impl::SendCloseNotify() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
  if (apis->sspi->ApplyControlToken(&context, &controlDesc) != SEC_E_OK) return;
  SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, &output};
  ULONG attributes = 0;
  apis->sspi->InitializeSecurityContextW(&credentials, &context, nullptr, kContextRequest, 0, 0,
                                         nullptr, 0, &context, &outputDesc, &attributes,
                                         nullptr);
  if (output.pvBuffer != nullptr) {
    SendAll(socket.Handle(), static_cast<const char*>(output.pvBuffer), output.cbBuffer);
    apis->sspi->FreeContextBuffer(output.pvBuffer);
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
  impl->host = host;
  impl->timeoutMs = timeoutMs;
  impl->pinnedRootsPem = pinnedRootsPem;
  impl->apis = LoadApis();
  if (impl->apis == nullptr) return TlsError::Unavailable;
  if (!impl->socket.IsValid()) return TlsError::IoFailed;
  SetSocketTimeouts(impl->socket.Handle(), timeoutMs, timeoutMs);
  TlsError result = impl->AcquireCredentials();
  if (result == TlsError::None)
    result = impl->Negotiate(Clock::now() + std::chrono::milliseconds(timeoutMs), stopped);
  if (result == TlsError::None) result = impl->Established();
  if (result != TlsError::None) return result;
  impl_ = std::move(impl);
  return TlsError::None;
}

bool TlsStream::IsOpen() const { return impl_ != nullptr; }

TlsError TlsStream::Send(const char* data, int length) {
  if (!impl_) return TlsError::IoFailed;
  const SecPkgContext_StreamSizes& sizes = impl_->sizes;
  std::vector<char> record;
  while (length > 0) {
    const ULONG chunk = std::min(static_cast<ULONG>(length), sizes.cbMaximumMessage);
    record.assign(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
    std::memcpy(record.data() + sizes.cbHeader, data, chunk);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {chunk, SECBUFFER_DATA, record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (impl_->apis->sspi->EncryptMessage(&impl_->context, 0, &desc, 0) != SEC_E_OK ||
        !SendAll(impl_->socket.Handle(), record.data(),
                 buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer)) {
      impl_->failed = true;
      return TlsError::IoFailed;
    }
    data += chunk;
    length -= static_cast<int>(chunk);
  }
  return TlsError::None;
}

TlsError TlsStream::Receive(char* buffer, int capacity, int timeoutMs, int& received) {
  received = 0;
  if (!impl_) return TlsError::IoFailed;
  Impl& s = *impl_;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool waited = false;
  for (;;) {
    const TlsError decrypted = s.DecryptBuffered();
    if (decrypted != TlsError::None) return decrypted;
    if (s.plainOffset < s.plain.size()) {
      const size_t count = std::min(static_cast<size_t>(capacity), s.plain.size() - s.plainOffset);
      std::memcpy(buffer, s.plain.data() + s.plainOffset, count);
      s.plainOffset += count;
      received = static_cast<int>(count);
      return TlsError::None;
    }
    if (s.peerClosed) return TlsError::Closed;
    // A time-out of 0 still looks once.
    if (waited && MillisecondsLeft(deadline) == 0) return TlsError::TimedOut;
    const TlsError read = s.ReadMore(deadline, StopTest());
    waited = true;
    if (read == TlsError::TimedOut) return read;
    if (read == TlsError::Closed) s.peerClosed = true;
    if (read == TlsError::IoFailed) {
      s.failed = true;
      return read;
    }
  }
}

bool TlsStream::WaitReadable(int timeoutMs) {
  if (!impl_) return false;
  const Impl& s = *impl_;
  if (s.plainOffset < s.plain.size() || s.peerClosed) return true;
  // A whole record already buffered decrypts without the socket.
  if (s.encrypted.size() >= kRecordHeaderBytes) {
    const size_t length = (static_cast<unsigned char>(s.encrypted[3]) << 8) |
                          static_cast<unsigned char>(s.encrypted[4]);
    if (s.encrypted.size() >= kRecordHeaderBytes + length) return true;
  }
  return platform::WaitReadable(s.socket.Handle(), timeoutMs);
}

const std::string& TlsStream::PeerSubject() const {
  static const std::string kNone;
  return impl_ ? impl_->subject : kNone;
}

void TlsStream::Close() {
  if (!impl_) return;
  if (!impl_->failed && !impl_->peerClosed) impl_->SendCloseNotify();
  impl_.reset();
}

}  // namespace platform

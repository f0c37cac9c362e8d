// Windows only: how a signing certificate is matched with the pin list, open to its tests.
#pragma once

#include <windows.h>
// The certificate declarations need windows.h first.
#include <wincrypt.h>

#include <string>
#include <vector>

namespace platform {

// The names a signing certificate is pinned by, as the system's UTF-16 text.
struct SignerNames {
  // The whole subject as CertNameToStrW writes it with CERT_X500_NAME_STR and
  // CERT_NAME_STR_REVERSE_FLAG: "CN=Vantreo Ltd, O=Vantreo Ltd, C=CN".
  std::wstring subject;
  // The subject's common name; empty when it has none, or more than one.
  std::wstring commonName;
  // A name of the subject that holds a NUL (or cannot be read): pinned by no name, since what
  // shows of it and what is compared could differ.
  bool unreadable = true;
};

// The names of an encoded subject (a certificate's pCertInfo->Subject).
SignerNames SignerNamesOf(const CERT_NAME_BLOB& subject);

// Whether one entry of the pin list (UTF-8) names this signer: "sha256:<hex>" (any case) the
// certificate's own `fingerprint` ("sha256:" and lower-case hex); an entry holding '=' the whole
// subject; any other the common name. Names compare code unit for code unit, whole.
bool SignerEntryMatches(const std::string& entry, const SignerNames& names,
                        const std::string& fingerprint);

}  // namespace platform

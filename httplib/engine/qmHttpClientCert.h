// Client certificates, named as script users know it from the platform's
// own request object: "[CURRENT_USER|LOCAL_MACHINE\[store\]]subject"
// (the current user's personal store "MY" unless named; the first
// certificate whose subject contains the text, without regard to case), or
// the certificate's SHA-1 (40 hex digits) or SHA-256 (64) fingerprint,
// blanks and colons allowed, in that store.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "qmComTypes.h"

namespace korvanet {

using qmCertificate = qmUniqueHandle<qmNullHandleTraits<PCCERT_CONTEXT, &CertFreeCertificateContext>>;

struct qmClientCertName {
  DWORD location = CERT_SYSTEM_STORE_CURRENT_USER;
  std::wstring store = L"MY";
  std::wstring subject;      // or:
  std::string fingerprint;   // 20 or 32 bytes
};

// Reads a name; false (the name untouched) for one that names another
// location or has nothing to match.
[[nodiscard]] bool qmParseClientCertName(const std::wstring& text, qmClientCertName& name);

// The certificate of the name: 0, or kErrorClientCertificate when the store
// holds none (or cannot be opened); certificate is left empty then.
DWORD qmFindClientCertificate(const qmClientCertName& name, qmCertificate& certificate);

}  // namespace korvanet

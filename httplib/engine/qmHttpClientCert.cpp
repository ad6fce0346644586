#include "qmHttpClientCert.h"

#include "qmErrors.h"
#include "qmHttpPin.h"

namespace korvanet {
namespace {

BOOL WINAPI CloseStore(HCERTSTORE store) { return CertCloseStore(store, 0); }
using qmCertStore = qmUniqueHandle<qmNullHandleTraits<HCERTSTORE, &CloseStore>>;

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const size_t size = wcslen(prefix);
  return text.size() > size && text[size] == L'\\' &&
         CompareStringOrdinal(text.c_str(), static_cast<int>(size), prefix, static_cast<int>(size), TRUE) ==
             CSTR_EQUAL;
}

}  // namespace

bool qmParseClientCertName(const std::wstring& text, qmClientCertName& name) {
  qmClientCertName read;
  std::wstring rest = text;
  if (StartsWithNoCase(rest, L"CURRENT_USER")) {
    rest.erase(0, 13);
  } else if (StartsWithNoCase(rest, L"LOCAL_MACHINE")) {
    read.location = CERT_SYSTEM_STORE_LOCAL_MACHINE;
    rest.erase(0, 14);
  } else {
    rest = text;
    // A backslash before the subject names a location: only these two.
    if (rest.find(L'\\') != std::wstring::npos) return false;
  }
  if (rest.size() != text.size()) {
    const size_t slash = rest.find(L'\\');
    if (slash != std::wstring::npos) {
      read.store = rest.substr(0, slash);
      rest.erase(0, slash + 1);
      if (read.store.empty()) return false;
    }
  }
  if (rest.empty()) return false;
  if (!qmParseFingerprint(rest, 20, read.fingerprint) && !qmParseFingerprint(rest, 32, read.fingerprint))
    read.subject = rest;
  name = std::move(read);
  return true;
}

DWORD qmFindClientCertificate(const qmClientCertName& name, qmCertificate& certificate) {
  qmCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                  name.location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
                                  name.store.c_str()));
  if (!store) return kErrorClientCertificate;
  PCCERT_CONTEXT found = nullptr;
  if (!name.subject.empty()) {
    found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                       name.subject.c_str(), nullptr);
  } else if (name.fingerprint.size() == 20) {
    CRYPT_HASH_BLOB sha1 = {20, reinterpret_cast<BYTE*>(const_cast<char*>(name.fingerprint.data()))};
    found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                       &sha1, nullptr);
  } else {
    // Older systems have no find type for SHA-256: each one is hashed.
    PCCERT_CONTEXT next = nullptr;
    for (int i = 0; i < 100000 && !found; ++i) {
      next = CertEnumCertificatesInStore(store.get(), next);
      if (!next) break;
      if (qmSha256(next->pbCertEncoded, next->cbCertEncoded) == name.fingerprint)
        found = CertDuplicateCertificateContext(next);
    }
    if (next) CertFreeCertificateContext(next);
  }
  if (!found) return kErrorClientCertificate;
  certificate.reset(found);
  return 0;
}

}  // namespace korvanet

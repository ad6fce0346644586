// Puts a PEM certificate among the machine's trusted roots, or takes it out
// again, for the tests of HTTPS against a trusted server:
//   korvanet_trust_root.exe add|remove <certificate.pem>
// Wine's chain engine reads the roots once per process, so the programs
// that rely on the certificate are started after this one ended. Removing
// deletes the certificate's registry keys, where Wine keeps the Root store
// (for the machine and a copy for the user): its store API reports a delete
// there as done but keeps the certificate.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr wchar_t kRootCertificates[] = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: korvanet_trust_root add|remove <certificate.pem>\n");
    return 2;
  }
  const std::string action = argv[1];
  const std::string pem = ReadFile(argv[2]);
  DWORD size = 0;
  if (pem.empty() || !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                           nullptr, &size, nullptr, nullptr)) {
    std::fprintf(stderr, "no PEM certificate in %s\n", argv[2]);
    return 1;
  }
  std::string der(size, '\0');
  CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                       reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
  if (action == "add") {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    const bool added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                                 reinterpret_cast<const BYTE*>(der.data()), size,
                                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    if (store) CertCloseStore(store, 0);
    if (!added) std::fprintf(stderr, "cannot add the certificate: error %lu\n", error);
    return added ? 0 : 1;
  }
  if (action == "remove") {
    BYTE hash[20];
    DWORD hashSize = sizeof(hash);
    if (!CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(der.data()), size, hash, &hashSize))
      return 1;
    std::wstring key = kRootCertificates;
    for (BYTE b : hash) {
      wchar_t hex[3];
      swprintf(hex, 3, L"%02X", b);
      key += hex;
    }
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      const LSTATUS status = RegDeleteTreeW(hive, key.c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        std::fprintf(stderr, "cannot remove the certificate: error %ld\n", static_cast<long>(status));
        return 1;
      }
    }
    return 0;
  }
  std::fprintf(stderr, "unknown action %s\n", argv[1]);
  return 2;
}

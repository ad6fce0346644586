#include "qmHttpTls.h"

#include <initializer_list>

namespace korvanet {

DWORD qmRequestModernTls(HINTERNET session, qmSetOptionFunction setOption) {
  // The headers of older SDKs lack the 1.3 flag.
  constexpr DWORD kTls12 = 0x00000800;
  constexpr DWORD kTls13 = 0x00002000;
  for (DWORD protocols : {kTls12 | kTls13, kTls12}) {
    if (setOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) return protocols;
  }
  return 0;
}

bool qmRequestRevocationCheck(HINTERNET request, qmSetOptionFunction setOption) {
  DWORD feature = WINHTTP_ENABLE_SSL_REVOCATION;
  return setOption(request, WINHTTP_OPTION_ENABLE_FEATURE, &feature, sizeof(feature)) != FALSE;
}

bool qmRevocationUnknown(DWORD error, DWORD secureFailureFlags) {
  if (error == ERROR_WINHTTP_SECURE_CERT_REV_FAILED) return true;
  return error == ERROR_WINHTTP_SECURE_FAILURE && secureFailureFlags == WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
}

}  // namespace korvanet

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

}  // namespace korvanet

// The proxy that a user of this machine has for a URL, read the way
// Windows' own automatic proxy mode reads it: the per-user Internet settings
// (automatic detection, a configuration script, a fixed proxy with its
// bypass list), else the machine's WinHTTP setting.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace korvanet {

// How a session reaches a server: the access type of WinHttpOpen and, for
// WINHTTP_ACCESS_TYPE_NAMED_PROXY, the proxy list and the bypass list.
struct qmProxyRoute {
  DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
  std::wstring proxy;
  std::wstring bypass;

  bool operator==(const qmProxyRoute&) const = default;
};

// The route for url under the current user's settings. When they name
// nothing usable (no proxy, no script, detection finds none), the route is
// WINHTTP_ACCESS_TYPE_DEFAULT_PROXY: the machine's WinHTTP setting. A
// script or automatic detection may take seconds on a network without one;
// the lookup blocks the calling thread meanwhile.
qmProxyRoute qmUserProxyRoute(const std::wstring& url) noexcept;

}  // namespace korvanet

// The proxy that a user of this machine has for a URL, read the way
// Windows' own automatic proxy mode reads it: the per-user Internet settings
// (automatic detection, a configuration script, a fixed proxy with its
// bypass list), else the machine's WinHTTP setting.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "qmComTypes.h"

namespace korvanet {

// How a session reaches a server: the access type of WinHttpOpen and, for
// WINHTTP_ACCESS_TYPE_NAMED_PROXY, the proxy list and the bypass list.
struct qmProxyRoute {
  DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
  std::wstring proxy;
  std::wstring bypass;

  bool operator==(const qmProxyRoute&) const = default;
};

// Whether a request to origin (lower-case scheme and host) on this route
// goes through a proxy: a named route whose proxy list has an entry for the
// scheme and whose bypass list does not name the host, or the machine's
// setting when it names such a proxy. Only then may a 407 be the proxy's.
bool qmRouteUsesProxy(const qmProxyRoute& route, const std::wstring& scheme, const std::wstring& host) noexcept;
// That proxy as "host:port" (a scheme prefix removed); empty when the
// request goes direct.
std::wstring qmRouteProxy(const qmProxyRoute& route, const std::wstring& scheme, const std::wstring& host) noexcept;

// The user's settings as this process sees them, shared by every thread.
// They are read again only after the registry reports a change below the
// user's "Internet Settings", so a request costs no registry reads while
// nothing changed, and an object made on a thread where no other lives (a
// client's function with a local object, called in a loop) finds them read
// already. The route that a configuration script or automatic detection
// gave for a scheme and host, or that the lookup failed, is kept for the
// process for a few minutes and dropped when the settings change: a network
// without a "wpad" host makes the failed detection cost seconds, which a
// batch of requests then pays once per host instead of once per request and
// redirect.
class qmUserProxy {
 public:
  static qmUserProxy& ForProcess();

  // The route for url. When the settings name nothing usable (no proxy, no
  // script, detection finds none), the route is
  // WINHTTP_ACCESS_TYPE_DEFAULT_PROXY: the machine's WinHTTP setting. A
  // script or automatic detection may take seconds on a network without
  // one; the lookup blocks the calling thread meanwhile (and no other: the
  // lock is held only while the settings are read, never across a lookup).
  qmProxyRoute Route(const std::wstring& url) noexcept;

  struct Settings {
    bool autoDetect = false;
    std::wstring script;  // the configuration script's address
    std::wstring proxy;
    std::wstring bypass;
    bool operator==(const Settings&) const = default;
  };

 private:
  qmUserProxy() = default;
  // The current settings; read again when the watch reported a change (or
  // there is no watch). Called under mLock.
  Settings Current();
  // What the script or detection says for url (the fixed proxy or the
  // machine's setting when it says nothing); takes as long as they take.
  static qmProxyRoute LookUp(const Settings& settings, const std::wstring& url);

  SRWLOCK mLock = SRWLOCK_INIT;
  Settings mSettings;
  bool mbCurrent = false;  // mSettings is what the registry holds
  qmRegKey mWatched;
  qmKernelHandle mChanged;
};

}  // namespace korvanet

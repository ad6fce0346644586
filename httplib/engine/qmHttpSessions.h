// The WinHTTP sessions of one request object, one per route (the proxy is a
// session property, since a request's own proxy option is not honoured
// everywhere). WinHTTP keeps cookies and pools connections per session, so
// what one object received (a login's cookie) or authenticated (an NTLM or
// Negotiate connection) stays with that object: a new object starts with
// none, while one object's later requests reuse its own.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "qmComTypes.h"
#include "qmUserProxy.h"

namespace korvanet {

class qmHttpSessions {
 public:
  // The session for a route, created on first use with the engine's
  // callback in place; null with GetLastError on failure.
  HINTERNET Session(const qmProxyRoute& route);

 private:
  struct Entry {
    qmProxyRoute route;
    qmInternetHandle session;
  };
  std::vector<Entry> mEntries;
};

}  // namespace korvanet

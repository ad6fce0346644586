// The WinHTTP sessions of one request object, one per route (the proxy is a
// session property, since a request's own proxy option is not honoured
// everywhere). WinHTTP keeps cookies and pools connections per session, so
// what one object received (a login's cookie) or authenticated (an NTLM or
// Negotiate connection) stays with that object: a new object starts with
// none, while one object's later requests reuse its own.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "qmComTypes.h"
#include "qmUserProxy.h"

namespace korvanet {

class qmHttpSessions {
 public:
  // The session for a route, created on first use with the engine's
  // callback in place; null with GetLastError on failure.
  HINTERNET Session(const qmProxyRoute& route);

  // Whether a pinned certificate was already found at host:port ("host:port")
  // on this route, so that a sequence of requests pays the check once.
  bool PinVerified(const qmProxyRoute& route, const std::wstring& hostPort, const std::string& pin) const;
  void RememberPin(const qmProxyRoute& route, const std::wstring& hostPort, const std::string& pin);

 private:
  struct Entry {
    qmProxyRoute route;
    qmInternetHandle session;
  };
  std::vector<Entry> mEntries;
  struct Pin {
    qmProxyRoute route;
    std::wstring hostPort;
    std::string pin;
    bool operator==(const Pin&) const = default;
  };
  std::vector<Pin> mVerifiedPins;
};

}  // namespace korvanet

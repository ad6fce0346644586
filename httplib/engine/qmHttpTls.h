// The TLS protocols a session asks for. Windows 7 and 8 offer only TLS 1.0
// to WinHTTP clients unless an administrator changed the registry, and
// servers that dropped it then fail with 12175. Every session therefore asks
// for TLS 1.2 and 1.3; a system that does not know 1.3 refuses that
// combination, and one that knows neither keeps its own default.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace korvanet {

// WinHttpSetOption, or what a test puts in its place.
using qmSetOptionFunction = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, DWORD);

// The protocol flags now in force on the session, or 0 when it keeps the
// system's default (which never fails a request by itself).
DWORD qmRequestModernTls(HINTERNET session, qmSetOptionFunction setOption = WinHttpSetOption);

// Asks the engine to check whether the server's certificate was revoked;
// false when the system does not offer that (the request goes on without).
bool qmRequestRevocationCheck(HINTERNET request, qmSetOptionFunction setOption = WinHttpSetOption);

// Whether a request failed only because revocation could not be checked
// (the CA publishes no revocation list, or it cannot be reached), given the
// error and the flags of the engine's TLS failure notification. Such a
// request is tried once more without the check: a company CA without a
// list is common inside networks, and those servers worked before the
// check was asked for. A certificate known to be revoked, or one that
// fails anything else as well, stays refused.
bool qmRevocationUnknown(DWORD error, DWORD secureFailureFlags);

}  // namespace korvanet

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

}  // namespace korvanet

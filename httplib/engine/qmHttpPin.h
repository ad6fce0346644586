// Pinned server certificates. A client that names the SHA-256 fingerprint
// of the certificate it expects accepts exactly that certificate, also one
// the machine does not trust (an intranet server's self-signed one), and
// nothing else.
//
// WinHTTP only shows the server's certificate once the request is on its
// way: the engine on Windows lets a request be closed in the callback that
// precedes the request line, but Wine's writes that line right after the
// callback. So the first request of an object's session to a pinned host
// and port makes a TLS handshake of its own first (through the same proxy,
// in a CONNECT tunnel) and hashes what the server presents; only on a match
// does WinHTTP send anything. The engine's own check in that callback then
// guards the connection the request actually uses.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace korvanet {

// The bytes of a fingerprint written as hex digits (either case), with
// blanks and colons anywhere; digestSize bytes or it is malformed.
// Returns false for malformed text and leaves digest untouched.
[[nodiscard]] bool qmParseFingerprint(const std::wstring& text, size_t digestSize, std::string& digest);

// The SHA-256 of bytes (32 bytes), or empty when the platform cannot hash.
std::string qmSha256(const void* data, size_t size);

// How the check reaches the server: directly, or through a proxy
// ("host:port") with a CONNECT tunnel and, when a user is given, Basic
// credentials for it.
struct qmPinRoute {
  std::wstring proxy;
  std::wstring proxyUser;
  std::wstring proxyPassword;
};

// Makes a TLS handshake with host:port, takes the certificate the server
// presents (whoever issued it) and compares its SHA-256 with pin. Sends no
// byte of a request. Returns 0 on a match, kErrorCertificatePin on a
// mismatch, else why the server could not be reached (a Winsock, Schannel
// or WinHTTP code). Blocks for up to timeoutMs per step. A server that asks
// for a client certificate gets clientCertificate (none when null).
DWORD qmCheckServerPin(const std::wstring& host, unsigned short port, const qmPinRoute& route, const std::string& pin,
                       DWORD timeoutMs, PCCERT_CONTEXT clientCertificate = nullptr);

}  // namespace korvanet

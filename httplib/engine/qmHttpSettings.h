// Everything a transfer needs, as request preparation and the start methods
// hand it to the engine, and everything a completed transfer reports.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qmHttpBody.h"
#include "qmHttpClientCert.h"

namespace korvanet {

// Authentication scheme codes (server and proxy).
enum qmAuthCode : short {
  kAuthBasic = 1,
  kAuthAutomatic = 2,  // the strongest scheme the server offers; the default
  kAuthDigest = 3,
  kAuthNtlm = 4,
  kAuthNegotiate = 5,
};

// Proxy type codes.
enum qmProxyCode : short {
  kProxyDirect = 1,
  kProxyNamed = 2,      // sProxyname:nProxyPort
  kProxyAutomatic = 6,  // the named proxy when one is given, else the user's; the default
};

// What one response may make the client hold, chosen for the address space
// of a 32-bit client: the bytes received, and the bytes after undoing gzip
// or deflate. The decoded bytes are kept (vResponseBody) and become up to
// twice as much as UTF-16 text, and again as much when a client reads
// sResponse. A response beyond either limit ends with ERROR_FILE_TOO_LARGE.
// A body written to a file (responseFile) is never held whole: no limit.
constexpr size_t kMaxResponseBytes = 64 * 1024 * 1024;
constexpr size_t kMaxDecodedBytes = 64 * 1024 * 1024;

struct qmHttpSettings {
  std::wstring url;
  std::wstring verb;         // GET, POST or PUT
  std::wstring httpVersion;  // "HTTP/1.0", "HTTP/1.1" or empty for the engine's own
  std::wstring accept;
  std::wstring acceptEncoding;

  std::wstring user;  // empty: no server authentication
  std::wstring password;
  short authMode = kAuthAutomatic;

  short proxyType = kProxyAutomatic;
  std::wstring proxyName;
  short proxyPort = 0;
  short proxyAuthMode = 0;  // 0: automatic
  std::wstring proxyUser;
  std::wstring proxyPassword;

  std::vector<std::pair<std::wstring, std::wstring>> headers;  // as added, in order
  std::string body;                   // in memory, or:
  std::vector<qmBodyPart> bodyParts;  // a body with files, streamed while it is sent
  std::wstring contentType;  // of a body the library built (forms), else empty

  // For https: the SHA-256 (32 bytes) of the one server certificate that is
  // accepted, trusted by the machine or not; empty: the machine's checks.
  std::string serverCertSha256;
  // For https: the certificate presented when the server asks for one.
  std::optional<qmClientCertName> clientCertificate;

  double timeoutSeconds = 0;  // covers resolve, connect, send, and each wait for data

  // A full path: the body of a 2xx response goes to this file as it
  // arrives and replaces it once complete. Empty: the body is kept in memory.
  std::wstring responseFile;
};

struct qmHttpResult {
  DWORD error = 0;  // 0, or the engine's / platform's error code
  std::wstring errorText;
  long statusCode = 0;
  std::wstring statusText;
  std::wstring headers;  // status line first, CR LF separated
  std::string bytes;  // the body after content decoding; empty for a body written to a file
  std::wstring body;  // the bytes as text
};

}  // namespace korvanet

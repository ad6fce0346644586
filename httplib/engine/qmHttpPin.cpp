// (Winsock 2 before anything includes windows.h.)
#include <winsock2.h>
#include <ws2tcpip.h>

#include "qmHttpPin.h"

#define SECURITY_WIN32
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <new>
#include <utility>

#include "qmErrors.h"
#include "qmHttpUrl.h"

namespace korvanet {
namespace {

// The pieces this file owns, each with its one way to let go.
class Socket {
 public:
  Socket() = default;
  ~Socket() {
    if (mSocket != INVALID_SOCKET) closesocket(mSocket);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return mSocket; }
  SOCKET release() { return std::exchange(mSocket, INVALID_SOCKET); }
  void reset(SOCKET s) {
    if (mSocket != INVALID_SOCKET) closesocket(mSocket);
    mSocket = s;
  }

 private:
  SOCKET mSocket = INVALID_SOCKET;
};

struct Credentials {
  CredHandle handle = {};
  bool valid = false;
  ~Credentials() {
    if (valid) FreeCredentialsHandle(&handle);
  }
};

struct Context {
  CtxtHandle handle = {};
  bool valid = false;
  ~Context() {
    if (valid) DeleteSecurityContext(&handle);
  }
};

struct Certificate {
  PCCERT_CONTEXT context = nullptr;
  ~Certificate() {
    if (context) CertFreeCertificateContext(context);
  }
};

struct Winsock {
  bool started = false;
  Winsock() {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started) WSACleanup();
  }
};

DWORD LastSocketError() {
  const int error = WSAGetLastError();
  return error ? static_cast<DWORD>(error) : ERROR_WINHTTP_CANNOT_CONNECT;
}

// Splits "host:port" (a bracketed IPv6 address allowed); the port defaults to 80.
bool SplitHostPort(const std::wstring& text, std::wstring& host, unsigned short& port) {
  std::wstring rest = text;
  port = 80;
  size_t colon = std::wstring::npos;
  if (!rest.empty() && rest[0] == L'[') {
    const size_t close = rest.find(L']');
    if (close == std::wstring::npos) return false;
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) colon = close + 1;
  } else {
    colon = rest.rfind(L':');
    host = rest.substr(0, colon);
  }
  if (colon != std::wstring::npos) {
    if (rest[colon] != L':' || colon + 1 >= rest.size()) return false;
    unsigned long value = 0;
    for (size_t i = colon + 1; i < rest.size(); ++i) {
      if (rest[i] < L'0' || rest[i] > L'9' || value > 65535) return false;
      value = value * 10 + (rest[i] - L'0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
  }
  return !host.empty();
}

// A connection to host:port within timeoutMs, whose reads and writes then
// wait timeoutMs at most.
DWORD Connect(const std::wstring& host, unsigned short port, DWORD timeoutMs, Socket& connected) {
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  const std::wstring service = std::to_wstring(port);
  if (GetAddrInfoW(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
    return ERROR_WINHTTP_NAME_NOT_RESOLVED;
  DWORD error = ERROR_WINHTTP_CANNOT_CONNECT;
  for (ADDRINFOW* at = found; at; at = at->ai_next) {
    Socket s;
    s.reset(socket(at->ai_family, at->ai_socktype, at->ai_protocol));
    if (s.get() == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    ioctlsocket(s.get(), FIONBIO, &nonBlocking);
    if (connect(s.get(), at->ai_addr, static_cast<int>(at->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK)
      continue;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s.get(), &writable);
    FD_SET(s.get(), &failed);
    timeval wait = {static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == 0) {
      error = WSAETIMEDOUT;
      continue;
    }
    if (ready < 0 || !FD_ISSET(s.get(), &writable)) continue;
    u_long blocking = 0;
    ioctlsocket(s.get(), FIONBIO, &blocking);
    const DWORD ms = timeoutMs;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
    setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
    connected.reset(s.release());
    FreeAddrInfoW(found);
    return 0;
  }
  FreeAddrInfoW(found);
  return error;
}

DWORD SendAll(SOCKET s, const char* data, size_t size) {
  while (size > 0) {
    const int sent = send(s, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (sent <= 0) return LastSocketError();
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return 0;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::string Base64(const std::string& bytes) {
  DWORD size = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), flags,
                            nullptr, &size))
    return std::string();
  std::string text(size, '\0');
  if (!CryptBinaryToStringA(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), flags,
                            text.data(), &size))
    return std::string();
  text.resize(size);
  while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

// Asks the proxy for a tunnel to target ("host:port"). Only its 200 opens
// it; any other answer (a 407 for credentials it did not take) ends the
// check as a failed connection, so nothing goes to the server.
DWORD OpenTunnel(SOCKET s, const std::wstring& target, const qmPinRoute& route) {
  const std::string authority = Utf8(target);
  std::string ask = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!route.proxyUser.empty())
    ask += "Proxy-Authorization: Basic " + Base64(Utf8(route.proxyUser) + ":" + Utf8(route.proxyPassword)) + "\r\n";
  ask += "\r\n";
  if (DWORD error = SendAll(s, ask.data(), ask.size())) return error;
  // The answer's head, byte by byte: what follows belongs to the tunnel.
  std::string head;
  while (head.size() < 16 * 1024 && (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)) {
    char c;
    const int got = recv(s, &c, 1, 0);
    if (got <= 0) return got == 0 ? ERROR_WINHTTP_INVALID_SERVER_RESPONSE : LastSocketError();
    head += c;
  }
  const size_t space = head.find(' ');
  if (head.compare(0, 5, "HTTP/") != 0 || space == std::string::npos || head.compare(space + 1, 3, "200") != 0)
    return ERROR_WINHTTP_CANNOT_CONNECT;
  return 0;
}

// The handshake up to the server's certificate, which is taken as it is:
// the pin, not the machine's trust, decides.
DWORD TakeServerCertificate(SOCKET s, const std::wstring& host, PCCERT_CONTEXT client, Certificate& certificate) {
  SCHANNEL_CRED wanted = {};
  wanted.dwVersion = SCHANNEL_CRED_VERSION;
  wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  if (client) {
    wanted.cCreds = 1;
    wanted.paCred = &client;
  }
  Credentials credentials;
  SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                                     SECPKG_CRED_OUTBOUND, nullptr, &wanted, nullptr, nullptr,
                                                     &credentials.handle, nullptr);
  if (status != SEC_E_OK) return static_cast<DWORD>(status);
  credentials.valid = true;

  const DWORD requests = ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_STREAM;
  Context context;
  std::string received;
  std::wstring target = host;
  for (int round = 0; round < 32; ++round) {
    SecBuffer in[2] = {{static_cast<unsigned long>(received.size()), SECBUFFER_TOKEN, received.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    unsigned long granted = 0;
    status = InitializeSecurityContextW(&credentials.handle, context.valid ? &context.handle : nullptr,
                                        target.data(), requests, 0, 0, context.valid ? &inDesc : nullptr, 0,
                                        &context.handle, &outDesc, &granted, nullptr);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
        status == SEC_I_INCOMPLETE_CREDENTIALS)
      context.valid = true;
    if (out[0].pvBuffer) {
      const DWORD error =
          out[0].cbBuffer ? SendAll(s, static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer) : 0;
      FreeContextBuffer(out[0].pvBuffer);
      if (error) return error;
    }
    if (status == SEC_E_OK) break;
    // The server asks for a client certificate and none is configured:
    // the same input again goes on without one.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (status == SEC_I_CONTINUE_NEEDED) {
        // What the engine did not take yet stays for the next round.
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= received.size())
          received.erase(0, received.size() - in[1].cbBuffer);
        else
          received.clear();
        if (!received.empty()) continue;
      }
      char piece[16 * 1024];
      const int got = recv(s, piece, sizeof(piece), 0);
      if (got <= 0) return got == 0 ? ERROR_WINHTTP_SECURE_FAILURE : LastSocketError();
      if (received.size() > 1024 * 1024) return ERROR_WINHTTP_SECURE_FAILURE;
      received.append(piece, static_cast<size_t>(got));
      continue;
    }
    return ERROR_WINHTTP_SECURE_FAILURE;
  }
  if (status != SEC_E_OK) return ERROR_WINHTTP_SECURE_FAILURE;
  status = QueryContextAttributesW(&context.handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate.context);
  if (status != SEC_E_OK || !certificate.context) return ERROR_WINHTTP_SECURE_FAILURE;
  return 0;
}

}  // namespace

bool qmParseFingerprint(const std::wstring& text, size_t digestSize, std::string& digest) {
  std::string bytes;
  int high = -1;
  for (wchar_t c : text) {
    if (c == L' ' || c == L':' || c == L'\t') continue;
    const int value = qmHexDigit(c);
    if (value < 0) return false;
    if (high < 0) {
      high = value;
    } else {
      bytes += static_cast<char>(high * 16 + value);
      high = -1;
    }
    if (bytes.size() > digestSize) return false;
  }
  if (high >= 0 || bytes.size() != digestSize) return false;
  digest = std::move(bytes);
  return true;
}

std::string qmSha256(const void* data, size_t size) {
  std::string digest;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return digest;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::string result(32, '\0');
  if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
    if (BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0) == 0 &&
        BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(result.data()), 32, 0) == 0)
      digest = std::move(result);
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return digest;
}

DWORD qmCheckServerPin(const std::wstring& hostOrBracketed, unsigned short port, const qmPinRoute& route,
                       const std::string& pin, DWORD timeoutMs, PCCERT_CONTEXT clientCertificate) {
  try {
    std::wstring host = hostOrBracketed;
    if (host.size() > 2 && host.front() == L'[' && host.back() == L']') host = host.substr(1, host.size() - 2);
    Winsock winsock;
    if (!winsock.started) return ERROR_WINHTTP_CANNOT_CONNECT;
    Socket s;
    std::wstring target = host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host;
    target += L":" + std::to_wstring(port);
    if (route.proxy.empty()) {
      if (DWORD error = Connect(host, port, timeoutMs, s)) return error;
    } else {
      std::wstring proxyHost;
      unsigned short proxyPort = 0;
      if (!SplitHostPort(route.proxy, proxyHost, proxyPort)) return ERROR_WINHTTP_INVALID_URL;
      if (DWORD error = Connect(proxyHost, proxyPort, timeoutMs, s)) return error;
      if (DWORD error = OpenTunnel(s.get(), target, route)) return error;
    }
    Certificate certificate;
    if (DWORD error = TakeServerCertificate(s.get(), host, clientCertificate, certificate)) return error;
    const std::string presented = qmSha256(certificate.context->pbCertEncoded, certificate.context->cbCertEncoded);
    if (presented.empty()) return ERROR_WINHTTP_SECURE_FAILURE;
    return presented == pin ? 0 : kErrorCertificatePin;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace korvanet

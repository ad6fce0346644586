#include "qmHttpTransfer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <utility>

#include "qmErrors.h"
#include "qmHttpAuth.h"
#include "qmHttpHeaders.h"
#include "qmHttpPin.h"
#include "qmHttpRedirect.h"
#include "qmHttpResponseText.h"
#include "qmHttpTls.h"
#include "qmModule.h"

namespace korvanet {
namespace {

constexpr DWORD kMaxReadSize = 1024 * 1024;
// An announced Content-Length sizes the first buffer up to this much; once
// that much has arrived, the announcement is believed up to the limit
// (servers lie: one that announces gigabytes and sends a line costs no more).
constexpr DWORD kMaxFirstBuffer = 4 * 1024 * 1024;
// A transfer ends at the latest this long after its request's timeout. The
// engine's own timeouts lie a second beyond, so the cut comes first, and a
// sequential wait, whose deadline is the timeout itself, always ends before
// the engine could report anything at that time.
constexpr double kDeadlineGraceSeconds = 2.0;
constexpr double kEngineMarginSeconds = 3.0;

// The engine's timeout for each wait of a transfer: the request's own
// timeout and the margin (0 would mean "infinite" to WinHTTP).
int EngineTimeoutMs(double timeoutSeconds) {
  const double ms = std::ceil((timeoutSeconds + kEngineMarginSeconds) * 1000.0);
  return ms < 1.0 ? 1 : (ms > static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(ms));
}

bool AddHeaderLine(HINTERNET request, const std::wstring& line, DWORD flags) {
  return WinHttpAddRequestHeaders(request, line.c_str(), static_cast<DWORD>(line.size()), flags) != FALSE;
}

// Why a success's body is not the whole resource, which a download must not
// take for it: 204 and 205 carry none (the platform's "No more data is
// available"), 206 carries a part ("More data is available"). 0 otherwise.
DWORD NotWholeError(long status) {
  if (status == HTTP_STATUS_NO_CONTENT || status == HTTP_STATUS_RESET_CONTENT) return ERROR_NO_MORE_ITEMS;
  if (status == HTTP_STATUS_PARTIAL_CONTENT) return ERROR_MORE_DATA;
  return 0;
}

// The announced length of a body, or -1 when none (or no number) was given.
long long ParseContentLength(const std::wstring& text) {
  if (text.empty() || text.size() > 18) return -1;
  long long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return -1;
    value = value * 10 + (c - L'0');
  }
  return value;
}

template <class Text>
void ShrinkToFit(Text& text) {
  if (text.capacity() - text.size() > text.size() / 8 + 256) text.shrink_to_fit();
}

}  // namespace

DWORD qmHttpTransfer::Start(qmHttpSettings settings, std::shared_ptr<qmHttpSessions> sessions,
                            qmHttpTransferSink* sink, qmHttpTransfer** transfer) {
  *transfer = nullptr;
  qmHttpThread* thread = qmHttpThread::Acquire();
  if (!thread) {
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
  }
  auto* created = new (std::nothrow) qmHttpTransfer(thread, std::move(sessions), std::move(settings), sink);
  if (!created) {
    thread->Release();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // A client certificate that is not there ends the request before it starts.
  DWORD error = 0;
  if (created->mSettings.clientCertificate)
    error = qmFindClientCertificate(*created->mSettings.clientCertificate, created->mClientCert);
  if (error == 0) error = created->Open();
  // (Open has refused whatever is no http or https URL.)
  if (error == 0 && !qmOriginOf(created->mSettings.url, created->mOrigin)) error = ERROR_WINHTTP_INVALID_URL;
  if (error == 0) error = created->ApplyOptions();
  // A download that could not be written is refused before anything is sent.
  if (error == 0 && !created->mSettings.responseFile.empty())
    error = created->mFile.Create(created->mSettings.responseFile);
  if (error == 0) error = created->Send();
  if (error != 0) {
    created->mpSink = nullptr;
    created->mbFinished = true;
    created->mRequest.reset();
    created->mConnect.reset();
    created->mFile.Discard();
    created->Release();
    return error;
  }
  const double cutSeconds = std::max(0.0, created->mSettings.timeoutSeconds) + kDeadlineGraceSeconds;
  created->mDeadline = thread->StartDeadline(
      created, cutSeconds >= 0x7FFFFFFF / 1000.0 ? 0x7FFFFFFF : static_cast<DWORD>(cutSeconds * 1000.0));
  if (!created->mInline.empty()) {
    // Completions that came inside the start are handled from the message
    // loop, like every other one, never inside the caller's start method.
    auto* kick = new (std::nothrow) qmHttpNotification{created, 0, 0, 0};
    if (!kick || !PostMessageW(created->mWindow, qmHttpThread::kNotifyMessage, 0, reinterpret_cast<LPARAM>(kick))) {
      delete kick;
      created->Abandon();
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  *transfer = created;
  return 0;
}

qmHttpTransfer::qmHttpTransfer(qmHttpThread* thread, std::shared_ptr<qmHttpSessions> sessions,
                               qmHttpSettings settings, qmHttpTransferSink* sink)
    : mpThread(thread),
      mpSessions(std::move(sessions)),
      mWindow(thread->Window()),
      mSettings(std::move(settings)),
      mpSink(sink),
      mOwnerThread(GetCurrentThreadId()) {
  qmModuleLock();
}

qmHttpTransfer::~qmHttpTransfer() {
  LetGoOfThread();
  mRequest.reset();
  mConnect.reset();
  if (mbHoldsModule) qmModuleUnlock();
}

void qmHttpTransfer::LetGoOfThread() {
  if (!mpThread) return;
  mpThread->StopDeadline(std::exchange(mDeadline, 0));
  std::exchange(mpThread, nullptr)->Release();
}

void qmHttpTransfer::OnClosingUndelivered() {
  // The thread's window is gone with its last object, so nothing of the
  // thread will touch this transfer again: WinHTTP's reference ends here.
  Release();
}

void qmHttpTransfer::Release() {
  if (--mRefs == 0) delete this;
}

void qmHttpTransfer::Abandon() {
  mpSink = nullptr;
  if (!mbFinished) {
    // WinHTTP may still report the pending operation; it is ignored.
    mbFinished = true;
    mRequest.reset();
    mConnect.reset();
    FinishFile(ERROR_CANCELLED);
  }
  mpSessions.reset();
  LetGoOfThread();
  Release();
}

DWORD qmHttpTransfer::Open() {
  const std::wstring& url = mSettings.url;
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (url.empty()) return ERROR_WINHTTP_INVALID_URL;
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return GetLastError();
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
  std::wstring extra(parts.lpszExtraInfo ? parts.lpszExtraInfo : L"", parts.dwExtraInfoLength);
  // The fragment belongs to the client, never to the server.
  size_t fragment = extra.find(L'#');
  if (fragment != std::wstring::npos) extra.resize(fragment);
  if (path.empty()) path = L"/";
  path += extra;

  std::wstring proxy = mSettings.proxyName;
  if (!proxy.empty() && mSettings.proxyPort != 0)
    proxy += L":" + std::to_wstring(static_cast<unsigned short>(mSettings.proxyPort));
  qmProxyRoute route;
  switch (mSettings.proxyType) {
    case kProxyDirect:
      route.accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
      break;
    case kProxyNamed:
      if (proxy.empty()) return ERROR_INVALID_PARAMETER;
      route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
      route.proxy = proxy;
      break;
    case kProxyAutomatic:
      // The named proxy when one is given, else the one the user has, asked
      // anew for every URL (a script may answer each differently).
      if (!proxy.empty()) {
        route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        route.proxy = proxy;
      } else {
        route = qmUserProxy::ForProcess().Route(url);
      }
      break;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  mRoute = route;
  mbSecure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (mbSecure && !mSettings.serverCertSha256.empty()) {
    DWORD error = CheckPin(route, host, parts.nPort);
    if (error != 0) return error;
  }
  HINTERNET session = mpSessions->Session(route);
  if (!session) return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;

  mConnect.reset(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
  if (!mConnect) return GetLastError();
  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  mRequest.reset(WinHttpOpenRequest(mConnect.get(), mSettings.verb.c_str(), path.c_str(),
                                    mSettings.httpVersion.empty() ? nullptr : mSettings.httpVersion.c_str(),
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!mRequest) return GetLastError();
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(this);
  if (!WinHttpSetOption(mRequest.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
    DWORD error = GetLastError();
    mRequest.reset();
    return error;
  }
  AddRef();  // released when WinHTTP reports the request handle closed
  return 0;
}

DWORD qmHttpTransfer::CheckPin(const qmProxyRoute& route, const std::wstring& host, unsigned short port) {
  const std::wstring hostPort = host + L":" + std::to_wstring(port);
  if (mpSessions->PinVerified(route, hostPort, mSettings.serverCertSha256)) return 0;
  qmPinRoute via;
  via.proxy = qmRouteProxy(route, L"https", host);
  if (!via.proxy.empty()) {
    via.proxyUser = mSettings.proxyUser;
    via.proxyPassword = mSettings.proxyPassword;
  }
  const DWORD error = qmCheckServerPin(host, port, via, mSettings.serverCertSha256,
                                       static_cast<DWORD>(EngineTimeoutMs(mSettings.timeoutSeconds)), mClientCert.get());
  if (error == 0) mpSessions->RememberPin(route, hostPort, mSettings.serverCertSha256);
  return error;
}

bool qmHttpTransfer::PinHolds(HINTERNET request) noexcept {
  // (The pin never changes once the transfer started.)
  if (mSettings.serverCertSha256.empty() || !mbSecure) return true;
  bool holds = false;
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) && certificate) {
    try {
      holds = qmSha256(certificate->pbCertEncoded, certificate->cbCertEncoded) == mSettings.serverCertSha256;
    } catch (...) {
      holds = false;
    }
    CertFreeCertificateContext(certificate);
  }
  if (!holds) mbPinFailed = true;
  return holds;
}

DWORD qmHttpTransfer::ApplyOptions() {
  HINTERNET request = mRequest.get();
  // Redirects are followed here, not by the engine, which would carry the
  // credentials and the client's Authorization and Cookie to any origin.
  DWORD features = WINHTTP_DISABLE_REDIRECTS;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof(features))) return GetLastError();
  // Each of the engine's waits is bounded by the request's own timeout and
  // the margin (0 would mean "infinite" to WinHTTP).
  const int timeout = EngineTimeoutMs(mSettings.timeoutSeconds);
  if (!WinHttpSetTimeouts(request, timeout, timeout, timeout, timeout)) return GetLastError();
  DWORD responseTimeout = static_cast<DWORD>(timeout);
  if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                        sizeof(responseTimeout)))
    return GetLastError();
  if (mbSecure) {
    if (!mSettings.serverCertSha256.empty()) {
      // The pin decides instead of the machine's trust: exactly the pinned
      // certificate is accepted, whoever issued it, for whatever name and dates.
      DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                     SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof(ignore))) return GetLastError();
    } else if (!mbRevocationUnknown) {
      qmRequestRevocationCheck(request);
    }
    // A connection accepted by its pin, or that carries a client
    // certificate, serves no other request: under Wine the engine pools
    // connections for the whole process, so another object's unpinned
    // request would otherwise skip the machine's checks on it, or speak as
    // the certificate's holder.
    if (!mSettings.serverCertSha256.empty() || mClientCert) {
      DWORD once = WINHTTP_DISABLE_KEEP_ALIVE;
      if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &once, sizeof(once))) return GetLastError();
    }
    if (mClientCert && !WinHttpSetOption(request, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                         const_cast<CERT_CONTEXT*>(mClientCert.get()), sizeof(CERT_CONTEXT)))
      return GetLastError();
  }

  for (const auto& [name, value] : qmRequestHeaderLines(mSettings)) {
    // Names of which only one line may go out replace whatever the engine
    // put there itself (its User-Agent, Host); an empty value would remove.
    const DWORD flags = qmIsSingleHeader(name) && !value.empty()
                            ? WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE
                            : WINHTTP_ADDREQ_FLAG_ADD;
    if (!AddHeaderLine(request, name + L": " + value, flags)) return GetLastError();
  }
  return 0;
}

DWORD qmHttpTransfer::Send() {
  mStatusCode = 0;
  mStatusText.clear();
  // A body in memory goes with the request; one with files follows it
  // piece by piece (the whole length is announced first).
  const bool streamed = !mSettings.bodyParts.empty();
  const ULONGLONG total = streamed ? qmBodySize(mSettings.bodyParts) : mSettings.body.size();
  if (total > MAXDWORD) return ERROR_FILE_TOO_LARGE;
  const DWORD length = streamed ? 0 : static_cast<DWORD>(total);
  void* body = length ? mSettings.body.data() : WINHTTP_NO_REQUEST_DATA;
  if (streamed) {
    mUpload.Reset(&mSettings.bodyParts);
    try {
      mUploadBuffer.resize(256 * 1024);
    } catch (...) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (!EngineCall([&] {
        return WinHttpSendRequest(mRequest.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, length,
                                  static_cast<DWORD>(total), reinterpret_cast<DWORD_PTR>(this));
      }))
    return GetLastError();
  return 0;
}

void qmHttpTransfer::WriteNext() {
  DWORD read = 0;
  DWORD error = mUpload.Read(mUploadBuffer.data(), static_cast<DWORD>(mUploadBuffer.size()), &read);
  if (error != 0) {
    Finish(error);
    return;
  }
  if (read == 0) {
    ReceiveResponse();
    return;
  }
  if (!EngineCall([&] { return WinHttpWriteData(mRequest.get(), mUploadBuffer.data(), read, nullptr); }))
    Finish(GetLastError());
}

void qmHttpTransfer::ReceiveResponse() {
  if (!EngineCall([&] { return WinHttpReceiveResponse(mRequest.get(), nullptr); })) Finish(GetLastError());
}

bool qmHttpTransfer::TakeInline(const qmHttpNotification& note) {
  // Other threads never touch the transfer's state: they post.
  if (GetCurrentThreadId() != mOwnerThread || !mbInEngineCall ||
      note.status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
    return false;
  try {
    mInline.push_back(note);
  } catch (...) {
    return false;
  }
  return true;
}

void qmHttpTransfer::OnNotification(const qmHttpNotification& note) {
  AddRef();  // the sink may abandon this transfer while it hears the end
  HandleSafely(note);
  // Completions reported inside the calls just made, in their order.
  for (size_t i = 0; i < 1000000 && !mInline.empty(); ++i) {
    qmHttpNotification next = mInline.front();
    mInline.erase(mInline.begin());
    HandleSafely(next);
  }
  Release();
}

void qmHttpTransfer::HandleSafely(const qmHttpNotification& note) {
  // This runs inside a window procedure: an allocation that fails ends the
  // transfer, never the client.
  try {
    Handle(note);
  } catch (...) {
    Finish(ERROR_NOT_ENOUGH_MEMORY);
  }
}

void qmHttpTransfer::Handle(const qmHttpNotification& note) {
  if (note.status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    --mRefs;  // WinHTTP's reference; OnNotification's guard keeps the count above 0
    return;
  }
  if (note.status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE || note.status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
    mbReadPending = false;
  if (mbFinished) return;
  if (mbPinFailed) {
    Finish(kErrorCertificatePin);
    return;
  }
  switch (note.status) {
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      mSecureFailure = note.length;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (mSettings.bodyParts.empty()) {
        ReceiveResponse();
      } else {
        WriteNext();
      }
      break;
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
      WriteNext();
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      OnHeaders();
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      OnReadComplete(note.length);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      if (!RetryAfter(note.error)) Finish(note.error ? note.error : ERROR_GEN_FAILURE);
      break;
    default:
      break;
  }
}

std::wstring qmHttpTransfer::QueryText(DWORD info) const {
  // Most values fit a small buffer: one call to the engine instead of two.
  wchar_t inPlace[128];
  DWORD bytes = sizeof(inPlace);
  if (WinHttpQueryHeaders(mRequest.get(), info, WINHTTP_HEADER_NAME_BY_INDEX, inPlace, &bytes,
                          WINHTTP_NO_HEADER_INDEX))
    return std::wstring(inPlace, bytes / sizeof(wchar_t));
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return std::wstring();
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(mRequest.get(), info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX))
    return std::wstring();
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

std::wstring qmHttpTransfer::HeadersText() const {
  if (mStatusCode == 0 || !mRequest) return std::wstring();
  std::wstring headers = QueryText(WINHTTP_QUERY_RAW_HEADERS_CRLF);
  while (!headers.empty() && (headers.back() == L'\n' || headers.back() == L'\r')) headers.pop_back();
  return headers;
}

void qmHttpTransfer::OnHeaders() {
  DWORD code = 0;
  DWORD size = sizeof(code);
  if (WinHttpQueryHeaders(mRequest.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
    mStatusCode = static_cast<long>(code);
  mStatusText = QueryText(WINHTTP_QUERY_STATUS_TEXT);

  if (FollowRedirect(code)) return;
  qmOrigin current;
  qmChallenge challenge;
  challenge.status = code;
  challenge.sameOrigin = qmOriginOf(mSettings.url, current) && current == mOrigin;
  // (Asked only of a 407: for the machine's setting it reads the registry.)
  challenge.throughProxy =
      code == HTTP_STATUS_PROXY_AUTH_REQ && qmRouteUsesProxy(mRoute, current.scheme, current.host);
  challenge.serverAnswers = mServerChallenges;
  challenge.proxyAnswers = mProxyChallenges;
  const DWORD target = qmChallengeTarget(challenge, mSettings);
  if (target == WINHTTP_AUTH_TARGET_SERVER) ++mServerChallenges;
  if (target == WINHTTP_AUTH_TARGET_PROXY) ++mProxyChallenges;
  const bool retry = target != kNoChallengeTarget && qmAnswerChallenge(mRequest.get(), target, mSettings);
  if (retry) {
    DWORD error = Send();
    if (error != 0) Finish(error);
    return;
  }

  mReceived = 0;
  mpDecoder.reset();
  mAsciiStart.clear();
  // The answer to a HEAD never has a body, whatever length it announces
  // (the engine under Wine would wait for one).
  if (mSettings.verb == L"HEAD") {
    Finish(0);
    return;
  }
  if (!mSettings.responseFile.empty() && code >= 200 && code < 300 && NotWholeError(code) == 0)
    mpDecoder = std::make_unique<qmContentDecoder>(QueryText(WINHTTP_QUERY_CONTENT_ENCODING));
  // The text of a body is made as it arrives, while the engine fills the
  // next piece, as far as it is plain ASCII.
  mbWidening = mSettings.responseFile.empty() &&
               !qmContentDecoder(QueryText(WINHTTP_QUERY_CONTENT_ENCODING)).Decodes() &&
               qmAsciiStartHolds(QueryText(WINHTTP_QUERY_CONTENT_TYPE));
  // As text: a download may announce more than a 32-bit number holds. A
  // transfer coding (chunked) delimits the body itself and overrides the
  // length, which then means nothing.
  mbChunked = !QueryText(WINHTTP_QUERY_TRANSFER_ENCODING).empty();
  mContentLength = mbChunked ? -1 : ParseContentLength(QueryText(WINHTTP_QUERY_CONTENT_LENGTH));
  if (mContentLength >= 0) {
    // Big announced bodies are read in big pieces: fewer rounds through the engine.
    if (mContentLength > mReadSize)
      mReadSize = static_cast<DWORD>(std::min<long long>(mContentLength, kMaxReadSize));
    // (A download's buffer only ever holds one piece.)
    if (mSettings.responseFile.empty()) Reserve(std::min<long long>(mContentLength, kMaxFirstBuffer));
  }
  ReadNext();
}

bool qmHttpTransfer::FollowRedirect(DWORD status) {
  if (qmFollowRedirect(status, QueryText(WINHTTP_QUERY_LOCATION), mRedirects, mOrigin, mSettings).empty())
    return false;
  ++mRedirects;
  mServerChallenges = 0;
  Restart();
  return true;
}

void qmHttpTransfer::Restart() {
  mRequest.reset();
  mConnect.reset();
  DWORD error = Open();
  if (error == 0) error = ApplyOptions();
  if (error == 0) error = Send();
  if (error != 0) Finish(error);
}

bool qmHttpTransfer::RetryAfter(DWORD error) {
  // Both fail in the handshake, before any byte of the request went out.
  if (mbSecure && !mbRevocationUnknown && qmRevocationUnknown(error, mSecureFailure)) {
    mbRevocationUnknown = true;
    mSecureFailure = 0;
    Restart();
    return true;
  }
  if (error == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED && mClientCert && !mbClientCertOffered) {
    mbClientCertOffered = true;
    DWORD sent = WinHttpSetOption(mRequest.get(), WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                  const_cast<CERT_CONTEXT*>(mClientCert.get()), sizeof(CERT_CONTEXT))
                     ? Send()
                     : GetLastError();
    if (sent != 0) Finish(sent);
    return true;
  }
  return false;
}

void qmHttpTransfer::Reserve(long long bytes) {
  try {
    bytes = std::min<long long>(bytes, kMaxResponseBytes);
    mBody.reserve(static_cast<size_t>(bytes));
    if (mbWidening) mAsciiStart.reserve(static_cast<size_t>(bytes));
  } catch (...) {
    // Grows as it arrives instead.
  }
}

void qmHttpTransfer::Widen(size_t start, size_t length) {
  if (!mbWidening) return;
  const char* piece = mBody.data() + start;
  size_t ascii = 0;
  while (ascii < length && !(piece[ascii] & 0x80)) ++ascii;
  const size_t done = mAsciiStart.size();
  mAsciiStart.resize(done + ascii);
  for (size_t i = 0; i < ascii; ++i) mAsciiStart[done + i] = static_cast<wchar_t>(piece[i]);
  if (ascii < length) mbWidening = false;
}

void qmHttpTransfer::ReadNext() {
  mReadStart = mBody.size();
  // One byte beyond the limit tells a body that is too large.
  if (mReadStart > kMaxResponseBytes) {
    Finish(ERROR_FILE_TOO_LARGE);
    return;
  }
  size_t size = std::min<size_t>(mReadSize, kMaxResponseBytes + 1 - mReadStart);
  // No more than announced is asked for, so a body that fills its buffer
  // exactly never grows it (with a copy) for a last empty read.
  if (mContentLength > mReceived) size = static_cast<size_t>(std::min<long long>(size, mContentLength - mReceived));
  if (mSettings.responseFile.empty() && mReadStart + size > mBody.capacity() && mContentLength > mReceived &&
      mReceived >= kMaxFirstBuffer)
    Reserve(mContentLength);
  try {
    mBody.resize(mReadStart + size);
  } catch (...) {
    Finish(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  // WinHTTP fills the tail of the body directly; nothing touches it until
  // the read completes.
  mbReadPending = true;
  if (!EngineCall([&] {
        return WinHttpReadData(mRequest.get(), mBody.data() + mReadStart, static_cast<DWORD>(size), nullptr);
      })) {
    mbReadPending = false;
    DWORD error = GetLastError();
    mBody.resize(mReadStart);
    Finish(error);
  }
}

void qmHttpTransfer::OnReadComplete(DWORD length) {
  mBody.resize(mReadStart + length);
  mReceived += length;
  // The end: an empty read, or every announced byte is here (which saves
  // one more round through the engine).
  const bool end = length == 0 || (mContentLength >= 0 && mReceived >= mContentLength);
  if (!end && length == mReadSize && mReadSize < kMaxReadSize) mReadSize *= 2;
  if (mSettings.responseFile.empty()) {
    if (mBody.size() > kMaxResponseBytes) {
      Finish(ERROR_FILE_TOO_LARGE);
      return;
    }
    const size_t piece = mReadStart;
    if (!end) {
      ReadNext();
      if (!mbFinished) Widen(piece, length);
      return;
    }
    Widen(piece, length);
  } else {
    // A download: the engine already fills the other buffer while this
    // piece goes to the file.
    mBody.swap(mPiece);
    mBody.clear();
    if (!end) {
      ReadNext();
      if (mbFinished) return;
    }
    DWORD error = 0;
    if (mpDecoder && length > 0)
      error = mpDecoder->Write(mPiece.data(), length,
                               [this](const char* data, size_t size) { return mFile.Write(data, size); });
    if (error != 0) {
      Finish(error);
      return;
    }
    if (!end) return;
  }
  // The connection ended before the announced length, or before the last
  // chunk: a cut-off body is no success. The engine under Wine reports
  // either as a plain end; the second shows only as a receive that found
  // the connection closed, which a whole chunked body never needs.
  const bool cutOff = (mContentLength >= 0 && mReceived < mContentLength && mStatusCode != HTTP_STATUS_NO_CONTENT &&
                       mStatusCode != HTTP_STATUS_NOT_MODIFIED) ||
                      (mbChunked && mbPeerClosed.load(std::memory_order_acquire));
  Finish(cutOff ? ERROR_WINHTTP_CONNECTION_ERROR : 0);
}

DWORD qmHttpTransfer::FinishFile(DWORD error) {
  if (error == 0 && mpDecoder) {
    error = mpDecoder->End();
    if (error == 0) error = mFile.Commit();
  }
  mpDecoder.reset();
  mFile.Discard();
  return error;
}

void qmHttpTransfer::OnDeadline() {
  mDeadline = 0;
  AddRef();  // the sink may abandon this transfer while it hears the end
  Finish(ERROR_WINHTTP_TIMEOUT);
  Release();
}

void qmHttpTransfer::Finish(DWORD error) {
  if (mbFinished) return;
  mbFinished = true;
  LetGoOfThread();
  qmHttpResult result;
  if (!mSettings.responseFile.empty()) {
    // Only a whole representation may replace the target.
    if (error == 0) error = NotWholeError(mStatusCode);
    error = FinishFile(error);
  }
  try {
    result.statusCode = mStatusCode;
    result.statusText = mStatusText;
    result.headers = HeadersText();
    if (error == 0 && mSettings.responseFile.empty()) {
      error = qmDecodeContent(QueryText(WINHTTP_QUERY_CONTENT_ENCODING), kMaxDecodedBytes, mBody);
      // A broken stream keeps its bytes as they came; a body too large for
      // the limits, or for memory, is dropped.
      if (error == 0 || error == ERROR_INVALID_DATA) {
        result.body = qmDecodeText(mBody, QueryText(WINHTTP_QUERY_CONTENT_TYPE), &mAsciiStart);
        // (Only a completed read ends with success: no read fills mBody now.)
        result.bytes.swap(mBody);
        // The object keeps them: not the room of reads that came short
        // (a small body in a whole read's buffer, a lying length).
        ShrinkToFit(result.bytes);
        ShrinkToFit(result.body);
      }
    }
  } catch (...) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    std::wstring().swap(result.body);
    std::string().swap(result.bytes);
  }
  // A read the engine still runs (the deadline cut it off) writes into the
  // body's buffer until the request handle is closed: it stays until then.
  // Under Wine that read may wait for as long as a server trickles; the
  // transfer is over for the library all the same, and its code stays
  // loaded anyway (the session pinned the module), so the library may
  // report that it can be unloaded.
  if (!mbReadPending) std::string().swap(mBody);
  std::string().swap(mPiece);
  std::wstring().swap(mAsciiStart);
  if (std::exchange(mbHoldsModule, false)) qmModuleUnlock();
  result.error = error;
  try {
    if (error != 0) result.errorText = qmErrorMessage(error);
  } catch (...) {
    // The number alone then.
  }
  mRequest.reset();
  mConnect.reset();
  mpSessions.reset();
  qmHttpTransferSink* sink = std::exchange(mpSink, nullptr);
  if (sink) sink->OnTransferDone(result);
}

}  // namespace korvanet

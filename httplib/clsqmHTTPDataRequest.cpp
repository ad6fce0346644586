#include "clsqmHTTPDataRequest.h"

#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "qmErrors.h"
#include "qmHttpPin.h"
#include "qmHttpResponseFile.h"
#include "qmHttpUrl.h"
#include "qmMessageWait.h"

namespace korvanet {
namespace {

constexpr DISPID kDoneEvent = 1;
constexpr wchar_t kFormContentType[] = L"application/x-www-form-urlencoded";

// What clients compiled against earlier versions ask for.
const IID* const kEarlierInterfaces[] = {&IID__clsqmHTTPDataRequest2, &IID__clsqmHTTPDataRequest1, nullptr};

const qmClassIdentity kIdentity = {&IID__clsqmHTTPDataRequest, &CLSID_clsqmHTTPDataRequest,
                                   &DIID___clsqmHTTPDataRequest, L"Korvanet.clsqmHTTPDataRequest",
                                   kEarlierInterfaces};

bool HasLineBreak(const std::wstring& text) { return text.find_first_of(L"\r\n") != std::wstring::npos; }

bool IsValidAuthCode(short code) { return code >= kAuthBasic && code <= kAuthNegotiate; }

void SetTrue(VARIANT* result) {
  if (!result) return;
  VariantInit(result);
  V_VT(result) = VT_BOOL;
  V_BOOL(result) = VARIANT_TRUE;
}

}  // namespace

HRESULT clsqmHTTPDataRequest::Create(REFIID iid, void** object) {
  auto* created = new (std::nothrow) clsqmHTTPDataRequest();
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

clsqmHTTPDataRequest::clsqmHTTPDataRequest()
    : qmComObject(kIdentity),
      // The thread's window lives as long as a request object does.
      mpThread(qmHttpThread::Acquire()) {}

// Answered only inside this DLL: the job asks whether a request is one of
// its own objects (no proxy knows this IID, so none passes it on).
// {9E1F2C4B-6A57-4E0D-8B3A-2F6C1D7E5A90}
constexpr IID kIidSelf = {0x9e1f2c4b, 0x6a57, 0x4e0d, {0x8b, 0x3a, 0x2f, 0x6c, 0x1d, 0x7e, 0x5a, 0x90}};

STDMETHODIMP clsqmHTTPDataRequest::QueryInterface(REFIID iid, void** object) {
  if (object && iid == kIidSelf) {
    *object = this;
    AddRef();
    return S_OK;
  }
  return qmComObject::QueryInterface(iid, object);
}

clsqmHTTPDataRequest* clsqmHTTPDataRequest::From(_clsqmHTTPDataRequest* request) {
  void* self = nullptr;
  if (!request || FAILED(request->QueryInterface(kIidSelf, &self)) || !self) return nullptr;
  auto* object = static_cast<clsqmHTTPDataRequest*>(self);
  object->Release();  // the caller's interface keeps it alive
  return object;
}

clsqmHTTPDataRequest::~clsqmHTTPDataRequest() {
  // A completion that comes later reaches no request object.
  if (mpTransfer) std::exchange(mpTransfer, nullptr)->Abandon();
  if (mpThread) mpThread->Release();
}

// The properties: plain values, stored without any check.
#define QM_TEXT_PROPERTY(name)                                                  \
  STDMETHODIMP clsqmHTTPDataRequest::get_##name(BSTR* value) {                 \
    return qmToBstr(mProps.name, value);                                        \
  }                                                                             \
  STDMETHODIMP clsqmHTTPDataRequest::put_##name(BSTR value) {                  \
    try {                                                                       \
      mProps.name = qmToWString(value);                                         \
    } catch (...) {                                                             \
      return E_OUTOFMEMORY;                                                     \
    }                                                                           \
    return S_OK;                                                                \
  }
#define QM_VALUE_PROPERTY(name, type)                                           \
  STDMETHODIMP clsqmHTTPDataRequest::get_##name(type* value) {                 \
    if (!value) return E_POINTER;                                               \
    *value = mProps.name;                                                       \
    return S_OK;                                                                \
  }                                                                             \
  STDMETHODIMP clsqmHTTPDataRequest::put_##name(type value) {                  \
    mProps.name = value;                                                        \
    return S_OK;                                                                \
  }

QM_TEXT_PROPERTY(sURL)
QM_TEXT_PROPERTY(sData)
QM_VALUE_PROPERTY(bParallel, VARIANT_BOOL)
QM_TEXT_PROPERTY(sIdent)
QM_TEXT_PROPERTY(sRequestType)
QM_TEXT_PROPERTY(sUser)
QM_TEXT_PROPERTY(sPassword)
QM_VALUE_PROPERTY(nAuthmode, short)
QM_TEXT_PROPERTY(sAccept)
QM_TEXT_PROPERTY(sAcceptEncoding)
QM_TEXT_PROPERTY(sHTTPVersion)
QM_VALUE_PROPERTY(lErrorcode, long)
QM_TEXT_PROPERTY(sErrortext)
QM_TEXT_PROPERTY(sResponse)
QM_VALUE_PROPERTY(lResponseCode, long)
QM_TEXT_PROPERTY(sResponsestatus)
QM_VALUE_PROPERTY(lTimeoutBase, long)
QM_VALUE_PROPERTY(lTimeoutperKB, long)
QM_TEXT_PROPERTY(sHeaders)
QM_TEXT_PROPERTY(sProxyname)
QM_VALUE_PROPERTY(nProxyPort, short)
QM_VALUE_PROPERTY(nProxyType, short)
QM_VALUE_PROPERTY(nProxyAuthmode, short)
QM_TEXT_PROPERTY(sProxyUser)
QM_TEXT_PROPERTY(sProxyPassword)
QM_VALUE_PROPERTY(bTmp, VARIANT_BOOL)
QM_VALUE_PROPERTY(mbDone, VARIANT_BOOL)
QM_TEXT_PROPERTY(sResponseFile)
QM_TEXT_PROPERTY(sServerCertSha256)
QM_TEXT_PROPERTY(sClientCertificate)

#undef QM_TEXT_PROPERTY
#undef QM_VALUE_PROPERTY

STDMETHODIMP clsqmHTTPDataRequest::get_vResponseBody(VARIANT* value) {
  if (!value) return E_POINTER;
  VariantInit(value);
  // Always a byte array, an empty one (upper bound -1) when there is no
  // body: a client assigning it to a Byte array never meets a type mismatch.
  const std::string& bytes = mProps.vResponseBody;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!array) return E_OUTOFMEMORY;
  if (!bytes.empty()) {
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) {
      SafeArrayDestroy(array);
      return hr;
    }
    memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
  }
  V_VT(value) = VT_ARRAY | VT_UI1;
  V_ARRAY(value) = array;
  return S_OK;
}

STDMETHODIMP clsqmHTTPDataRequest::bAddHeader(BSTR* sHeadername, BSTR* sHeaderValue, VARIANT_BOOL* result) {
  if (!sHeadername || !sHeaderValue || !result) return E_POINTER;
  *result = VARIANT_FALSE;
  try {
    std::wstring name = qmToWString(*sHeadername);
    std::wstring value = qmToWString(*sHeaderValue);
    // A line break would let a caller's value start a second header or
    // request (request splitting); an empty name or a colon is no header.
    if (name.empty() || name.find(L':') != std::wstring::npos || HasLineBreak(name) || HasLineBreak(value))
      return RaiseCode(ERROR_INVALID_PARAMETER);
    mHeaders.emplace_back(std::move(name), std::move(value));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  *result = VARIANT_TRUE;
  return S_OK;
}

STDMETHODIMP clsqmHTTPDataRequest::bAddFormPostVar(BSTR* sName, BSTR* sValue, VARIANT* result) {
  if (!sName || !sValue || !result) return E_POINTER;
  VariantInit(result);
  try {
    mFormFields.push_back(qmFormField{qmToWString(*sName), qmToWString(*sValue)});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  SetTrue(result);
  return S_OK;
}

STDMETHODIMP clsqmHTTPDataRequest::mAddFormUploadVar(BSTR* sName, BSTR* sValue, BSTR sContentType,
                                                     VARIANT* result) {
  if (!sName || !sValue || !result) return E_POINTER;
  VariantInit(result);
  try {
    std::wstring contentType = qmToWString(sContentType);
    if (HasLineBreak(contentType)) return RaiseCode(ERROR_INVALID_PARAMETER);
    mUploads.push_back(qmUploadField{qmToWString(*sName), qmToWString(*sValue), std::move(contentType)});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  SetTrue(result);
  return S_OK;
}

DWORD clsqmHTTPDataRequest::Prepare() {
  qmHttpSettings settings;
  if (!mProps.sHTTPVersion.empty()) {
    if (mProps.sHTTPVersion == L"1.0" || mProps.sHTTPVersion == L"1.1") {
      settings.httpVersion = L"HTTP/" + mProps.sHTTPVersion;
    } else {
      return ERROR_INVALID_PARAMETER;
    }
  }
  // These become header lines too: a line break would split the request.
  if (HasLineBreak(mProps.sAccept) || HasLineBreak(mProps.sAcceptEncoding)) return ERROR_INVALID_PARAMETER;
  settings.accept = mProps.sAccept;
  settings.acceptEncoding = mProps.sAcceptEncoding;
  // User information in the URL never goes on the wire: it is the user's
  // credentials, unless sUser names others (which one was meant is unknown).
  std::wstring urlUser, urlPassword;
  settings.url = qmSplitUserInfo(mProps.sURL, urlUser, urlPassword);
  if (!urlUser.empty() && !mProps.sUser.empty()) return ERROR_INVALID_PARAMETER;
  if (!mProps.sUser.empty() || !urlUser.empty()) {
    settings.authMode = mProps.nAuthmode == 0 ? static_cast<short>(kAuthAutomatic) : mProps.nAuthmode;
    if (!IsValidAuthCode(settings.authMode)) return ERROR_INVALID_PARAMETER;
    settings.user = mProps.sUser.empty() ? urlUser : mProps.sUser;
    settings.password = mProps.sUser.empty() ? urlPassword : mProps.sPassword;
  }
  settings.proxyName = mProps.sProxyname;
  settings.proxyPort = mProps.nProxyPort;
  settings.proxyType = mProps.nProxyType == 0 ? static_cast<short>(kProxyAutomatic) : mProps.nProxyType;
  if (settings.proxyType != kProxyDirect && settings.proxyType != kProxyNamed &&
      settings.proxyType != kProxyAutomatic)
    return ERROR_INVALID_PARAMETER;
  if (settings.proxyType == kProxyNamed && settings.proxyName.empty()) return ERROR_INVALID_PARAMETER;
  settings.proxyAuthMode = mProps.nProxyAuthmode;
  if (settings.proxyAuthMode != 0 && !IsValidAuthCode(settings.proxyAuthMode)) return ERROR_INVALID_PARAMETER;
  settings.proxyUser = mProps.sProxyUser;
  settings.proxyPassword = mProps.sProxyPassword;
  if (!mProps.sServerCertSha256.empty() &&
      !qmParseFingerprint(mProps.sServerCertSha256, 32, settings.serverCertSha256))
    return ERROR_INVALID_PARAMETER;
  if (!mProps.sClientCertificate.empty()) {
    qmClientCertName name;
    if (!qmParseClientCertName(mProps.sClientCertificate, name)) return ERROR_INVALID_PARAMETER;
    settings.clientCertificate = std::move(name);
  }
  mPrepared = std::move(settings);
  return 0;
}

STDMETHODIMP clsqmHTTPDataRequest::mSetRequestData() {
  try {
    DWORD error = Prepare();
    return error ? RaiseCode(error) : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

DWORD clsqmHTTPDataRequest::StartTransfer(const std::wstring& verb, double timeoutSeconds) {
  qmHttpSettings settings = mPrepared;
  settings.verb = verb;
  settings.timeoutSeconds = timeoutSeconds;
  settings.headers = mHeaders;
  if (verb == L"GET" || verb == L"HEAD") {
    // A GET or HEAD has no body to carry files: refused rather than silently dropped.
    if (!mUploads.empty()) return ERROR_INVALID_PARAMETER;
    settings.url = qmAppendQuery(settings.url, qmFormUrlEncode(mFormFields));
  } else if (!mProps.sData.empty()) {
    // sData is the whole body: fields and files added as well would be lost on the way.
    if (!mUploads.empty() || !mFormFields.empty()) return ERROR_INVALID_PARAMETER;
    settings.body = qmToUtf8(mProps.sData);
    // What a form post carries, so that servers which read a form by its
    // type find it; a client's own Content-Type replaces it.
    settings.contentType = kFormContentType;
  } else if (!mUploads.empty()) {
    DWORD error = qmMultipartBody(mFormFields, mUploads, settings.contentType, settings.bodyParts);
    if (error != 0) return error;
  } else if (!mFormFields.empty()) {
    settings.body = qmFormUrlEncode(mFormFields);
    settings.contentType = kFormContentType;
  }
  if (!mProps.sResponseFile.empty()) {
    DWORD error = qmFullPath(mProps.sResponseFile, settings.responseFile);
    if (error != 0) return error;
  }
  if (!mpSessions) mpSessions = std::make_shared<qmHttpSessions>();
  return qmHttpTransfer::Start(std::move(settings), mpSessions, this, &mpTransfer);
}

VARIANT_BOOL clsqmHTTPDataRequest::WaitForCompletion(ULONGLONG deadline) {
  // A Done handler may start this object again (which clears mbDone) or
  // drop the client's last reference: the wait watches its own transfer.
  AddRef();
  bool completed = false;
  mpbWaitingStart = &completed;
  while (!completed && mpbWaitingStart == &completed && !mProps.mbDone && GetTickCount64() < deadline) {
    qmWaitForMessage(deadline);
    if (!qmProcessPendingMessages()) break;
  }
  const bool superseded = !completed && mpbWaitingStart != &completed;
  if (mpbWaitingStart == &completed) mpbWaitingStart = nullptr;
  VARIANT_BOOL result = VARIANT_TRUE;
  if (superseded) {
    // A later start owns the properties now: they are left as it set them.
    result = mProps.mbDone ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (!completed && !mProps.mbDone) {
    result = VARIANT_FALSE;
    StoreTimeoutState();
  }
  Release();
  return result;
}

VARIANT_BOOL clsqmHTTPDataRequest::StartAndWait(const std::wstring& verb, double timeoutSeconds,
                                               ULONGLONG deadline) {
  DWORD error = Prepare();
  if (error == 0) error = StartTransfer(verb, timeoutSeconds);
  if (error != 0) {
    // Nothing was sent, so there is nothing to wait for: the failure stays
    // in lErrorcode and sErrortext.
    StoreFailure(error);
    return VARIANT_FALSE;
  }
  if (!mProps.bParallel) return WaitForCompletion(deadline);
  if (!mProps.mbDone) StoreTimeoutState();
  return mProps.mbDone ? VARIANT_TRUE : VARIANT_FALSE;
}

void clsqmHTTPDataRequest::ResetForStart() {
  mProps.lErrorcode = 0;
  mProps.sErrortext.clear();
  mProps.sResponse.clear();
  std::string().swap(mProps.vResponseBody);
  // Every start waits for its own completion, and the earlier transfer's
  // completion must never overwrite this one's results.
  mProps.mbDone = VARIANT_FALSE;
  mpbWaitingStart = nullptr;
  if (mpTransfer) std::exchange(mpTransfer, nullptr)->Abandon();
}

void clsqmHTTPDataRequest::StoreTimeoutState() {
  // The engine holds no body before the end; the status once headers came.
  mProps.sResponse.clear();
  std::string().swap(mProps.vResponseBody);
  // The status and headers as far as they came, so that none of an
  // earlier response is taken for this one's.
  mProps.lResponseCode = mpTransfer ? mpTransfer->StatusCode() : 0;
  mProps.sResponsestatus = mpTransfer ? mpTransfer->StatusText() : std::wstring();
  mProps.sHeaders = mpTransfer ? mpTransfer->HeadersText() : std::wstring();
  mProps.sErrortext = L"Timeout";
}

void clsqmHTTPDataRequest::StoreFailure(DWORD error) {
  mProps.lErrorcode = static_cast<long>(error);
  mProps.sErrortext = qmErrorMessage(error);
  mProps.sResponse.clear();
  std::string().swap(mProps.vResponseBody);
}

STDMETHODIMP clsqmHTTPDataRequest::gbGet(long /*lPort: the port comes from sURL*/, VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = VARIANT_FALSE;
  try {
    mProps.sRequestType = L"GET";
    ResetForStart();
    if (mProps.lTimeoutBase == 0) mProps.lTimeoutBase = 30;
    const long long timeout = static_cast<long long>(mProps.lTimeoutBase) + 20;
    if (timeout > LONG_MAX) return Raise(DISP_E_OVERFLOW, qmErrorMessage(static_cast<DWORD>(DISP_E_OVERFLOW)));
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG deadline = timeout > 0 ? now + static_cast<ULONGLONG>(timeout) * 1000 : now;

    *result = StartAndWait(L"GET", static_cast<double>(timeout), deadline);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP clsqmHTTPDataRequest::gbPost(long /*lPort: the port comes from sURL*/, VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = VARIANT_FALSE;
  try {
    if (mProps.sRequestType != L"PUT" && mProps.sRequestType != L"POST") mProps.sRequestType = L"POST";
    return SendWithBody(result);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP clsqmHTTPDataRequest::gbSend(BSTR sMethod, VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = VARIANT_FALSE;
  try {
    std::wstring method = qmToWString(sMethod);
    // Whatever is no token would make a request line the server reads
    // differently (or not at all): refused as a refused setting is, before
    // anything is sent, and sRequestType keeps what it had.
    if (!qmIsMethodToken(method)) {
      ResetForStart();
      StoreFailure(ERROR_INVALID_PARAMETER);
      return S_OK;
    }
    mProps.sRequestType = method;
    mSendMethod = std::move(method);
    return SendWithBody(result);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT clsqmHTTPDataRequest::SendWithBody(VARIANT_BOOL* result) {
  ResetForStart();
  if (mProps.lTimeoutBase == 0) mProps.lTimeoutBase = 30;
  if (mProps.lTimeoutperKB == 0) mProps.lTimeoutperKB = 10;
  const long long product = static_cast<long long>(mProps.lTimeoutperKB) *
                            static_cast<long long>(mProps.sData.size());
  if (product > LONG_MAX || product < LONG_MIN)
    return Raise(DISP_E_OVERFLOW, qmErrorMessage(static_cast<DWORD>(DISP_E_OVERFLOW)));
  // The timeout keeps its fraction of a second (1234 characters: 62.34 s).
  const double timeout = static_cast<double>(product) / 1000.0 + mProps.lTimeoutBase + 20.0;
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG deadline = timeout > 0 ? now + static_cast<ULONGLONG>(timeout * 1000.0) : now;

  // A parallel start answers False whatever the start did.
  const bool bSequential = !mProps.bParallel;
  const VARIANT_BOOL bDone = StartAndWait(mProps.sRequestType, timeout, deadline);
  if (bSequential) *result = bDone;
  return S_OK;
}

STDMETHODIMP clsqmHTTPDataRequest::msCStr(VARIANT* vnt, BSTR* result) {
  if (!result) return E_POINTER;
  *result = nullptr;
  qmVariant value;
  qmVariant text;
  const VARIANT* source = qmDeref(vnt);
  // The conversion of string concatenation; any failure gives "".
  if (source && SUCCEEDED(VariantCopyInd(value.get(), const_cast<VARIANT*>(source))) &&
      SUCCEEDED(VariantChangeTypeEx(text.get(), value.get(), LOCALE_USER_DEFAULT, VARIANT_ALPHABOOL,
                                    VT_BSTR)) &&
      V_VT(text.get()) == VT_BSTR) {
    *result = SysAllocStringLen(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())));
  } else {
    *result = SysAllocString(L"");
  }
  SetErrorInfo(0, nullptr);
  return *result ? S_OK : E_OUTOFMEMORY;
}

void clsqmHTTPDataRequest::OnTransferDone(qmHttpResult& result) {
  if (mpTransfer) std::exchange(mpTransfer, nullptr)->Abandon();
  if (mpbWaitingStart) *std::exchange(mpbWaitingStart, nullptr) = true;
  // A Done handler may drop the client's last reference.
  AddRef();
  try {
    mProps.sResponse = std::move(result.body);
    mProps.vResponseBody = std::move(result.bytes);
    mProps.lResponseCode = result.statusCode;
    mProps.sResponsestatus = std::move(result.statusText);
    mProps.sHeaders = std::move(result.headers);
    mProps.sErrortext = std::move(result.errorText);
    mProps.lErrorcode = static_cast<long>(result.error);
  } catch (...) {
    mProps.lErrorcode = ERROR_NOT_ENOUGH_MEMORY;
  }
  // Set only when the results are in place, so nobody sees a completed
  // request with the earlier results.
  mProps.mbDone = VARIANT_TRUE;
  Fire(kDoneEvent, nullptr);
  Release();
}

}  // namespace korvanet

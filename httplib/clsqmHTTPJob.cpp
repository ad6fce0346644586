#include "clsqmHTTPJob.h"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_set>

#include "clsqmHTTPDataRequest.h"
#include "qmHttpUrl.h"
#include "qmMessageWait.h"

namespace korvanet {
namespace {

constexpr DISPID kAddRequestId = 2;
constexpr DISPID kProgressEvent = 1;

// What clients compiled against the first version ask for.
const IID* const kEarlierInterfaces[] = {&IID__clsqmHTTPJob1, nullptr};

const qmClassIdentity kIdentity = {&IID__clsqmHTTPJob, &CLSID_clsqmHTTPJob, &DIID___clsqmHTTPJob,
                                   L"Korvanet.clsqmHTTPJob", kEarlierInterfaces};

// A request from whatever a client passed: the interface, IDispatch or
// IUnknown, directly or by reference, inside variants or not.
HRESULT RequestFrom(const VARIANT* value, _clsqmHTTPDataRequest** request) {
  *request = nullptr;
  value = qmDeref(value);
  if (!value) return DISP_E_TYPEMISMATCH;
  IUnknown* object = nullptr;
  switch (V_VT(value)) {
    case VT_DISPATCH: object = V_DISPATCH(value); break;
    case VT_UNKNOWN: object = V_UNKNOWN(value); break;
    case VT_DISPATCH | VT_BYREF: object = V_DISPATCHREF(value) ? *V_DISPATCHREF(value) : nullptr; break;
    case VT_UNKNOWN | VT_BYREF: object = V_UNKNOWNREF(value) ? *V_UNKNOWNREF(value) : nullptr; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  if (!object) return DISP_E_TYPEMISMATCH;
  return SUCCEEDED(object->QueryInterface(IID__clsqmHTTPDataRequest, reinterpret_cast<void**>(request)))
             ? S_OK
             : DISP_E_TYPEMISMATCH;
}

// True the first time a request object is seen (identities compared as COM
// defines them), false for the same object again. The collection holds
// every object it names, so their identities stay valid while it is walked;
// a set keeps the walk linear for jobs of thousands.
using qmSeen = std::unordered_set<IUnknown*>;
bool FirstSight(qmSeen& seen, _clsqmHTTPDataRequest* request) {
  ComPtr<IUnknown> identity;
  request->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf()));
  return seen.insert(identity.Get()).second;
}

}  // namespace

HRESULT clsqmHTTPJob::Create(REFIID iid, void** object) {
  auto* created = new (std::nothrow) clsqmHTTPJob();
  if (!created) return E_OUTOFMEMORY;
  if (!created->mpRequests) {
    created->Release();
    return E_OUTOFMEMORY;
  }
  HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

clsqmHTTPJob::clsqmHTTPJob() : qmComObject(kIdentity) {
  // (Filled in place: mingw's ComPtr::Attach would add a second reference.)
  *mpRequests.GetAddressOf() = clsqmCollection::CreateEmpty();
}

clsqmHTTPJob::~clsqmHTTPJob() = default;

STDMETHODIMP clsqmHTTPJob::get_gcolRequests(_clsqmCollection** result) {
  if (!result) return E_POINTER;
  *result = mpRequests.Get();
  mpRequests->AddRef();
  return S_OK;
}

STDMETHODIMP clsqmHTTPJob::bAddRequest(_clsqmHTTPDataRequest** oReq, VARIANT_BOOL* result) {
  if (!oReq || !result) return E_POINTER;
  *result = VARIANT_FALSE;
  if (!*oReq) return Raise(DISP_E_TYPEMISMATCH, qmErrorMessage(static_cast<DWORD>(DISP_E_TYPEMISMATCH)));
  VARIANT item;
  VariantInit(&item);
  V_VT(&item) = VT_DISPATCH;
  V_DISPATCH(&item) = *oReq;  // borrowed: Add keeps its own reference
  HRESULT hr = mpRequests->Add(&item, nullptr, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  *result = VARIANT_TRUE;
  return S_OK;
}

HRESULT clsqmHTTPJob::InvokeSpecial(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                    UINT* argError, bool& handled) {
  handled = false;
  if (id != kAddRequestId || !(flags & DISPATCH_METHOD) || !params) return S_OK;
  handled = true;
  if (params->cArgs != 1 || params->cNamedArgs != 0) return DISP_E_BADPARAMCOUNT;
  ComPtr<_clsqmHTTPDataRequest> request;
  if (FAILED(RequestFrom(&params->rgvarg[0], request.GetAddressOf()))) {
    if (argError) *argError = 0;
    return DISP_E_TYPEMISMATCH;
  }
  _clsqmHTTPDataRequest* pointer = request.Get();
  VARIANT_BOOL added = VARIANT_FALSE;
  HRESULT hr = bAddRequest(&pointer, &added);
  if (FAILED(hr)) return hr;
  if (result) {
    VariantInit(result);
    V_VT(result) = VT_BOOL;
    V_BOOL(result) = added;
  }
  return S_OK;
}

HRESULT clsqmHTTPJob::DistinctRequests(Requests& requests) {
  qmSeen seen;
  seen.reserve(mpRequests->Size());
  requests.reserve(mpRequests->Size());
  for (size_t i = 0; i < mpRequests->Size(); ++i) {
    ComPtr<_clsqmHTTPDataRequest> request;
    if (FAILED(RequestFrom(&mpRequests->At(i), request.GetAddressOf())))
      return Raise(DISP_E_TYPEMISMATCH, qmErrorMessage(static_cast<DWORD>(DISP_E_TYPEMISMATCH)));
    if (FirstSight(seen, request.Get())) requests.push_back(request);
  }
  return S_OK;
}

namespace {

// Whether the job starts a request of this type: exactly these,
// case-sensitive, or whatever gbSend chose (a job built for the first
// version never ran other types, and still does not).
bool JobStarts(const std::wstring& verb, const clsqmHTTPDataRequest* own) {
  return verb == L"GET" || verb == L"POST" || verb == L"PUT" || verb == L"DELETE" || verb == L"PATCH" ||
         verb == L"HEAD" || verb == L"OPTIONS" || (own && own->MethodSetBySend());
}

}  // namespace

HRESULT clsqmHTTPJob::Start(_clsqmHTTPDataRequest* request, bool& started) {
  started = false;
  qmBstr type;
  HRESULT hr = request->get_sRequestType(type.put());
  if (FAILED(hr)) return hr;
  const std::wstring verb = qmToWString(type.get());
  const clsqmHTTPDataRequest* own = clsqmHTTPDataRequest::From(request);
  VARIANT_BOOL result = VARIANT_FALSE;
  if (verb == L"POST" || verb == L"PUT") {
    hr = request->gbPost(0, &result);
  } else if (verb == L"GET") {
    hr = request->gbGet(0, &result);
  } else if (JobStarts(verb, own)) {
    hr = request->gbSend(type.get(), &result);
  } else {
    return S_OK;
  }
  // A start refused before anything was sent holds no connection.
  started = own ? own->TransferRunning() : true;
  // (A failed start raised its error and set its error information.)
  return hr;
}

HRESULT clsqmHTTPJob::StartAll() {
  mWaiting.clear();
  mRunning.clear();
  std::unordered_map<std::wstring, long> busy;
  bool startedAny = false;
  // In collection order, so an item that is no request ends the run with
  // the requests before it started, as a walk through the collection would.
  qmSeen seen;
  std::vector<Queued> queued;
  HRESULT mismatch = S_OK;
  for (size_t i = 0; i < mpRequests->Size(); ++i) {
    ComPtr<_clsqmHTTPDataRequest> request;
    if (FAILED(RequestFrom(&mpRequests->At(i), request.GetAddressOf()))) {
      mismatch = DISP_E_TYPEMISMATCH;
      break;
    }
    if (!FirstSight(seen, request.Get())) continue;  // a request that stands twice is started once
    HRESULT hr = request->put_bParallel(VARIANT_TRUE);
    if (SUCCEEDED(hr)) hr = request->put_bTmp(VARIANT_FALSE);
    qmBstr type, url;
    if (SUCCEEDED(hr)) hr = request->get_sRequestType(type.put());
    if (SUCCEEDED(hr)) hr = request->get_sURL(url.put());
    if (FAILED(hr)) return hr;
    if (!JobStarts(qmToWString(type.get()), clsqmHTTPDataRequest::From(request.Get()))) continue;
    // Waiting is not done: an earlier run's completion must not count.
    request->put_mbDone(VARIANT_FALSE);
    std::wstring host;
    qmOrigin origin;
    if (qmOriginOf(qmToWString(url.get()), origin))
      host = origin.scheme + L"://" + origin.host + L":" + std::to_wstring(origin.port);
    queued.push_back(Queued{std::move(request), std::move(host)});
  }
  // Started once all are set, as a handler of a start that is refused at
  // once may change the collection.
  for (Queued& next : queued) {
    HRESULT hr = StartOrQueue(std::move(next.request), next.host, busy, startedAny);
    if (FAILED(hr)) return hr;
  }
  if (FAILED(mismatch)) {
    mWaiting.clear();
    return Raise(mismatch, qmErrorMessage(static_cast<DWORD>(mismatch)));
  }
  return S_OK;
}

HRESULT clsqmHTTPJob::StartOrQueue(ComPtr<_clsqmHTTPDataRequest> request, const std::wstring& host,
                                   std::unordered_map<std::wstring, long>& busy, bool& startedAny) {
  auto waiting = mWaiting.find(host);
  long& running = busy[host];
  // (A URL without a host fails at its start and holds nothing.) Those of
  // a host that already waits stay behind them.
  if (!host.empty() && (running >= mlMaxConnectionsPerHost || waiting != mWaiting.end())) {
    mWaiting[host].push_back(std::move(request));
    return S_OK;
  }
  return StartCounted(std::move(request), host, running, startedAny);
}

HRESULT clsqmHTTPJob::StartCounted(ComPtr<_clsqmHTTPDataRequest> request, const std::wstring& host, long& running,
                                   bool& startedAny) {
  bool started = false;
  HRESULT hr = Start(request.Get(), started);
  if (FAILED(hr)) return hr;
  startedAny = true;
  if (started) {
    ++running;
    mRunning.push_back(Queued{std::move(request), host});
  }
  return S_OK;
}

HRESULT clsqmHTTPJob::StartWaiting(bool& startedAny) {
  startedAny = false;
  std::erase_if(mRunning, [](const Queued& running) {
    VARIANT_BOOL done = VARIANT_FALSE;
    running.request->get_mbDone(&done);
    return done != VARIANT_FALSE;
  });
  std::unordered_map<std::wstring, long> busy;  // hosts and their running requests
  for (const Queued& running : mRunning) ++busy[running.host];
  // Only the heads of the hosts' queues are looked at: a pass costs what it
  // starts, however many wait.
  for (auto host = mWaiting.begin(); host != mWaiting.end();) {
    long& running = busy[host->first];
    auto& queue = host->second;
    while (!queue.empty() && running < mlMaxConnectionsPerHost) {
      ComPtr<_clsqmHTTPDataRequest> request = std::move(queue.front());
      queue.pop_front();
      HRESULT hr = StartCounted(std::move(request), host->first, running, startedAny);
      if (FAILED(hr)) return hr;
    }
    host = queue.empty() ? mWaiting.erase(host) : std::next(host);
  }
  return S_OK;
}

STDMETHODIMP clsqmHTTPJob::get_lMaxConnectionsPerHost(long* value) {
  if (!value) return E_POINTER;
  *value = mlMaxConnectionsPerHost;
  return S_OK;
}

STDMETHODIMP clsqmHTTPJob::put_lMaxConnectionsPerHost(long value) {
  if (value < 1) return RaiseCode(ERROR_INVALID_PARAMETER);
  mlMaxConnectionsPerHost = value;
  return S_OK;
}

void clsqmHTTPJob::RaiseProgress(long completed) {
  // The handler gets a copy by reference: whatever it writes there cannot
  // change the job's own count.
  long copy = completed;
  VARIANT argument;
  VariantInit(&argument);
  V_VT(&argument) = VT_I4 | VT_BYREF;
  V_I4REF(&argument) = &copy;
  DISPPARAMS params = {&argument, nullptr, 1, 0};
  Fire(kProgressEvent, &params);
}

STDMETHODIMP clsqmHTTPJob::bDoRequests(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = VARIANT_FALSE;
  // A handler inside the wait that ran the job again would restart the
  // requests this run is waiting for.
  if (mbRunning) return RaiseCode(ERROR_BUSY);
  try {
    AddRef();  // a Progress handler may drop the client's last reference
    mbRunning = true;
    struct Guard {
      clsqmHTTPJob* job;
      ~Guard() {
        job->mbRunning = false;
        job->mWaiting.clear();
        job->mRunning.clear();
        job->Release();
      }
    } guard{this};

    if (mlWaitLimit == 0) mlWaitLimit = 30;
    HRESULT hr = StartAll();
    if (FAILED(hr)) return hr;

    // Counted from the last start; a monotonic clock. Each pass walks the
    // collection as it stands then: a request a handler removed is no longer
    // waited for, and the result speaks of the collection at the end.
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(mlWaitLimit) * 1000;
    long completed = 0;
    long reported = 0;
    bool allDone = false;
    for (;;) {
      allDone = true;
      if (!qmProcessPendingMessages()) {
        allDone = false;
        break;
      }
      if (!mWaiting.empty()) {
        // Requests that waited for a connection start as others end; the
        // wait limit counts from the last start.
        bool startedAny = false;
        hr = StartWaiting(startedAny);
        if (FAILED(hr)) return hr;
        if (startedAny) deadline = GetTickCount64() + static_cast<ULONGLONG>(mlWaitLimit) * 1000;
      }
      Requests requests;
      hr = DistinctRequests(requests);
      if (FAILED(hr)) return hr;
      for (const ComPtr<_clsqmHTTPDataRequest>& request : requests) {
        VARIANT_BOOL done = VARIANT_FALSE, counted = VARIANT_FALSE;
        request->get_mbDone(&done);
        if (!done) {
          allDone = false;
          continue;
        }
        request->get_bTmp(&counted);
        if (!counted) {
          ++completed;
          request->put_bTmp(VARIANT_TRUE);
        }
      }
      const bool changed = completed != reported;
      if (changed) {
        reported = completed;
        RaiseProgress(completed);
      }
      if (allDone) break;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      // The handler may have let completions through already: look again
      // before sleeping until the next message or the deadline.
      if (!changed) qmWaitForMessage(deadline);
    }
    if (allDone) {
      // Progress handlers ran after the last walk: the result is the
      // collection's as it stands now.
      Requests requests;
      hr = DistinctRequests(requests);
      if (FAILED(hr)) return hr;
      for (const ComPtr<_clsqmHTTPDataRequest>& request : requests) {
        VARIANT_BOOL done = VARIANT_FALSE;
        request->get_mbDone(&done);
        allDone = allDone && done;
      }
    }
    *result = allDone ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace korvanet

#include "clsqmHTTPJob.h"

#include <new>

#include "clsqmHTTPDataRequest.h"
#include "qmMessageWait.h"

namespace korvanet {
namespace {

constexpr DISPID kAddRequestId = 2;
constexpr DISPID kProgressEvent = 1;

const qmClassIdentity kIdentity = {&IID__clsqmHTTPJob, &CLSID_clsqmHTTPJob, &DIID___clsqmHTTPJob,
                                   L"Korvanet.clsqmHTTPJob", nullptr};

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
// defines them), false for the same object again.
bool FirstSight(std::vector<ComPtr<IUnknown>>& seen, _clsqmHTTPDataRequest* request) {
  ComPtr<IUnknown> identity;
  request->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf()));
  for (const ComPtr<IUnknown>& other : seen)
    if (other.Get() == identity.Get()) return false;
  seen.push_back(identity);
  return true;
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
  std::vector<ComPtr<IUnknown>> seen;
  for (size_t i = 0; i < mpRequests->Size(); ++i) {
    ComPtr<_clsqmHTTPDataRequest> request;
    if (FAILED(RequestFrom(&mpRequests->At(i), request.GetAddressOf())))
      return Raise(DISP_E_TYPEMISMATCH, qmErrorMessage(static_cast<DWORD>(DISP_E_TYPEMISMATCH)));
    if (FirstSight(seen, request.Get())) requests.push_back(request);
  }
  return S_OK;
}

HRESULT clsqmHTTPJob::Start(_clsqmHTTPDataRequest* request) {
  HRESULT hr = request->put_bParallel(VARIANT_TRUE);
  if (SUCCEEDED(hr)) hr = request->put_bTmp(VARIANT_FALSE);
  qmBstr type;
  if (SUCCEEDED(hr)) hr = request->get_sRequestType(type.put());
  if (FAILED(hr)) return hr;
  const std::wstring verb = qmToWString(type.get());
  VARIANT_BOOL started = VARIANT_FALSE;
  // Exactly these, case-sensitive; anything else is not started, unless
  // gbSend chose it (a job built for the first version never ran such a
  // request, and still does not).
  const clsqmHTTPDataRequest* own = clsqmHTTPDataRequest::From(request);
  if (verb == L"POST" || verb == L"PUT") {
    hr = request->gbPost(0, &started);
  } else if (verb == L"GET") {
    hr = request->gbGet(0, &started);
  } else if (verb == L"DELETE" || verb == L"PATCH" || verb == L"HEAD" || verb == L"OPTIONS" ||
             (own && own->MethodSetBySend())) {
    hr = request->gbSend(type.get(), &started);
  }
  // (A failed start raised its error and set its error information.)
  return hr;
}

HRESULT clsqmHTTPJob::StartAll() {
  // In collection order, so an item that is no request ends the run with
  // the requests before it started, as a walk through the collection would.
  std::vector<ComPtr<IUnknown>> started;
  for (size_t i = 0; i < mpRequests->Size(); ++i) {
    ComPtr<_clsqmHTTPDataRequest> request;
    if (FAILED(RequestFrom(&mpRequests->At(i), request.GetAddressOf())))
      return Raise(DISP_E_TYPEMISMATCH, qmErrorMessage(static_cast<DWORD>(DISP_E_TYPEMISMATCH)));
    if (!FirstSight(started, request.Get())) continue;  // a request that stands twice is started once
    HRESULT hr = Start(request.Get());
    if (FAILED(hr)) return hr;
  }
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
        job->Release();
      }
    } guard{this};

    if (mlWaitLimit == 0) mlWaitLimit = 30;
    HRESULT hr = StartAll();
    if (FAILED(hr)) return hr;

    // Counted from the last start; a monotonic clock. Each pass walks the
    // collection as it stands then: a request a handler removed is no longer
    // waited for, and the result speaks of the collection at the end.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(mlWaitLimit) * 1000;
    long completed = 0;
    long reported = 0;
    bool allDone = false;
    for (;;) {
      allDone = true;
      if (!qmProcessPendingMessages()) {
        allDone = false;
        break;
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

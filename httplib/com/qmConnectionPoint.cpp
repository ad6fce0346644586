#include "qmConnectionPoint.h"

#include "qmSnapshotEnum.h"

namespace korvanet {

qmConnectionPoint::qmConnectionPoint(IConnectionPointContainer* owner, REFIID events)
    : mpOwner(owner), mEvents(events) {}

STDMETHODIMP qmConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) qmConnectionPoint::AddRef() { return mpOwner->AddRef(); }
STDMETHODIMP_(ULONG) qmConnectionPoint::Release() { return mpOwner->Release(); }

STDMETHODIMP qmConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = mEvents;
  return S_OK;
}

STDMETHODIMP qmConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = mpOwner;
  mpOwner->AddRef();
  return S_OK;
}

STDMETHODIMP qmConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  ComPtr<IDispatch> dispatch;
  if (FAILED(sink->QueryInterface(mEvents, reinterpret_cast<void**>(dispatch.GetAddressOf()))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.GetAddressOf()))))
    return CONNECT_E_CANNOTCONNECT;
  try {
    mSinks.push_back(Sink{mNextCookie, dispatch});
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  *cookie = mNextCookie++;
  return S_OK;
}

STDMETHODIMP qmConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = mSinks.begin(); it != mSinks.end(); ++it) {
    if (it->cookie == cookie) {
      mSinks.erase(it);
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP qmConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (!connections) return E_POINTER;
  *connections = nullptr;
  try {
    std::vector<CONNECTDATA> items;
    for (const Sink& sink : mSinks) items.push_back(CONNECTDATA{sink.dispatch.Get(), sink.cookie});
    return qmSnapshotEnum<IEnumConnections, CONNECTDATA>::Create(IID_IEnumConnections, items, connections);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

void qmConnectionPoint::Fire(DISPID event, DISPPARAMS* params) {
  std::vector<ComPtr<IDispatch>> sinks;
  try {
    sinks.reserve(mSinks.size());
    for (const Sink& sink : mSinks) sinks.push_back(sink.dispatch);
  } catch (...) {
    return;
  }
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  for (const ComPtr<IDispatch>& sink : sinks) {
    // A failing handler is the client's matter; the other sinks still hear it.
    sink->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params ? params : &none,
                 nullptr, nullptr, nullptr);
  }
}

}  // namespace korvanet

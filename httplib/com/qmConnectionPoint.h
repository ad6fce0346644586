// The one connection point of an event source: keeps the clients' sinks and
// raises events on them through IDispatch::Invoke.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "qmComTypes.h"

namespace korvanet {

class qmConnectionPoint final : public IConnectionPoint {
 public:
  // The container owns this object; references to it keep the container alive.
  qmConnectionPoint(IConnectionPointContainer* owner, REFIID events);
  qmConnectionPoint(const qmConnectionPoint&) = delete;
  qmConnectionPoint& operator=(const qmConnectionPoint&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

  // Raises an event on every sink connected when the call starts: a handler
  // may connect or disconnect sinks while it runs.
  void Fire(DISPID event, DISPPARAMS* params);

 private:
  struct Sink {
    DWORD cookie;
    ComPtr<IDispatch> dispatch;
  };
  IConnectionPointContainer* mpOwner;
  IID mEvents;
  std::vector<Sink> mSinks;
  DWORD mNextCookie = 1;
};

}  // namespace korvanet

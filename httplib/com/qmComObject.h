// The reusable half of every Korvanet class: reference counting, IDispatch
// through the type library (the TKIND_INTERFACE half of the dual interface),
// rich errors (ISupportErrorInfo), IProvideClassInfo2 and, for classes with
// events, one connection point. A class then only implements its interface.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <string>
#include <vector>

#include "qmComTypes.h"
#include "qmConnectionPoint.h"
#include "qmErrors.h"
#include "qmModule.h"
#include "qmSnapshotEnum.h"

namespace korvanet {

struct qmClassIdentity {
  const IID* interfaceId;  // the dual interface
  const CLSID* classId;
  const IID* eventsId;     // the source dispinterface, or nullptr
  const wchar_t* progId;   // the source of the errors it raises
  // The interfaces that the dual interface extends, which compiled clients
  // of earlier versions ask for: a list ending with nullptr, or nullptr.
  const IID* const* earlierInterfaceIds;
};

template <class Iface>
class qmComObject : public Iface,
                    public ISupportErrorInfo,
                    public IProvideClassInfo2,
                    public IConnectionPointContainer {
 public:
  explicit qmComObject(const qmClassIdentity& identity) : mIdentity(identity) {
    qmModuleLock();
    if (identity.eventsId)
      mpEvents = std::make_unique<qmConnectionPoint>(static_cast<IConnectionPointContainer*>(this),
                                                     *identity.eventsId);
  }
  virtual ~qmComObject() { qmModuleUnlock(); }
  qmComObject(const qmComObject&) = delete;
  qmComObject& operator=(const qmComObject&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || IsOwnInterface(iid)) {
      *object = static_cast<Iface*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
      *object = static_cast<IProvideClassInfo2*>(this);
    } else if (iid == IID_IConnectionPointContainer && mpEvents) {
      *object = static_cast<IConnectionPointContainer*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&mRefs)); }
  STDMETHODIMP_(ULONG) Release() override {
    LONG refs = InterlockedDecrement(&mRefs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return qmTypeInfo(*mIdentity.interfaceId, typeInfo);
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT hr = EnsureTypeInfo();
    if (FAILED(hr)) return hr;
    return mpTypeInfo->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argError) override {
    HRESULT hr = EnsureTypeInfo();
    if (FAILED(hr)) return hr;
    bool handled = false;
    hr = InvokeSpecial(id, flags, params, result, exception, argError, handled);
    if (handled) return hr;
    SetErrorInfo(0, nullptr);
    // Script clients pass variables as VT_VARIANT | VT_BYREF, which the type
    // library's Invoke refuses for typed parameters ("Type mismatch"). No
    // method changes its arguments, so copies of the values are passed: the
    // caller's variables stay untouched whatever Invoke does with them.
    if (params && params->cArgs > 0 && HasVariantRef(*params)) {
      std::vector<VARIANT> args;
      try {
        args.resize(params->cArgs);
      } catch (...) {
        return E_OUTOFMEMORY;
      }
      HRESULT hr = S_OK;
      for (UINT i = 0; i < params->cArgs; ++i) {
        VariantInit(&args[i]);
        if (SUCCEEDED(hr)) hr = VariantCopyInd(&args[i], const_cast<VARIANT*>(qmDeref(&params->rgvarg[i])));
      }
      if (SUCCEEDED(hr)) {
        DISPPARAMS unwrapped = *params;
        unwrapped.rgvarg = args.data();
        hr = mpTypeInfo->Invoke(static_cast<Iface*>(this), id, flags, &unwrapped, result, exception,
                                argError);
      }
      for (VARIANT& arg : args) VariantClear(&arg);
      return hr;
    }
    return mpTypeInfo->Invoke(static_cast<Iface*>(this), id, flags, params, result, exception,
                              argError);
  }

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsOwnInterface(iid) ? S_OK : S_FALSE;
  }

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** typeInfo) override {
    return qmTypeInfo(*mIdentity.classId, typeInfo);
  }
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override {
    if (!guid) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    if (!mIdentity.eventsId) {
      *guid = GUID_NULL;
      return E_UNEXPECTED;
    }
    *guid = *mIdentity.eventsId;
    return S_OK;
  }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
    if (!points) return E_POINTER;
    *points = nullptr;
    try {
      std::vector<IConnectionPoint*> items;
      if (mpEvents) items.push_back(mpEvents.get());
      return qmSnapshotEnum<IEnumConnectionPoints, IConnectionPoint*>::Create(IID_IEnumConnectionPoints, items,
                                                                               points);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (!mpEvents || iid != *mIdentity.eventsId) return CONNECT_E_NOCONNECTION;
    *point = mpEvents.get();
    mpEvents->AddRef();
    return S_OK;
  }

 protected:
  // A class may take over the call of a member whose arguments the type
  // library cannot convert from what script clients pass.
  virtual HRESULT InvokeSpecial(DISPID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*,
                                bool& handled) {
    handled = false;
    return S_OK;
  }

  void Fire(DISPID event, DISPPARAMS* params) {
    if (mpEvents) mpEvents->Fire(event, params);
  }

  HRESULT Raise(HRESULT hr, const std::wstring& description) {
    return qmRaise(hr, description, mIdentity.progId, *mIdentity.interfaceId);
  }
  HRESULT RaiseCode(DWORD code) { return qmRaiseCode(code, mIdentity.progId, *mIdentity.interfaceId); }

 private:
  // The dual interface, or one it extends: their vtables are the beginning
  // of this one's.
  bool IsOwnInterface(REFIID iid) const {
    if (iid == *mIdentity.interfaceId) return true;
    for (const IID* const* earlier = mIdentity.earlierInterfaceIds; earlier && *earlier; ++earlier)
      if (iid == **earlier) return true;
    return false;
  }

  static bool HasVariantRef(const DISPPARAMS& params) {
    for (UINT i = 0; i < params.cArgs; ++i)
      if (V_VT(&params.rgvarg[i]) == (VT_VARIANT | VT_BYREF)) return true;
    return false;
  }

  HRESULT EnsureTypeInfo() {
    if (mpTypeInfo) return S_OK;
    ComPtr<ITypeInfo> dispatchHalf;
    HRESULT hr = qmTypeInfo(*mIdentity.interfaceId, dispatchHalf.GetAddressOf());
    if (FAILED(hr)) return hr;
    // The interface half of the dual interface drives ITypeInfo::Invoke
    // through the vtable.
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> interfaceHalf;
    if (SUCCEEDED(dispatchHalf->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
        SUCCEEDED(dispatchHalf->GetRefTypeInfo(ref, interfaceHalf.GetAddressOf()))) {
      mpTypeInfo = interfaceHalf;
    } else {
      mpTypeInfo = dispatchHalf;
    }
    return S_OK;
  }

  qmClassIdentity mIdentity;
  volatile LONG mRefs = 1;
  ComPtr<ITypeInfo> mpTypeInfo;
  std::unique_ptr<qmConnectionPoint> mpEvents;
};

}  // namespace korvanet

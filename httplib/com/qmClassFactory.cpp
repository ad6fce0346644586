#include "qmClassFactory.h"

#include "qmModule.h"

namespace korvanet {

STDMETHODIMP qmClassFactory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) qmClassFactory::AddRef() { return 2; }
STDMETHODIMP_(ULONG) qmClassFactory::Release() { return 1; }

STDMETHODIMP qmClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return mCreate(iid, object);
}

STDMETHODIMP qmClassFactory::LockServer(BOOL lock) {
  if (lock) {
    qmModuleLock();
  } else {
    qmModuleUnlock();
  }
  return S_OK;
}

}  // namespace korvanet

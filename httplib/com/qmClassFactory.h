// The class factory handed out by DllGetClassObject: one static instance per
// creatable class, creating its objects through a plain function. Holding a
// factory does not keep the library loaded (COM may cache factories); only
// objects, transfers and LockServer do.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace korvanet {

using qmCreateFunction = HRESULT (*)(REFIID iid, void** object);

class qmClassFactory final : public IClassFactory {
 public:
  explicit qmClassFactory(qmCreateFunction create) : mCreate(create) {}
  qmClassFactory(const qmClassFactory&) = delete;
  qmClassFactory& operator=(const qmClassFactory&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  qmCreateFunction mCreate;
};

}  // namespace korvanet

// The library's four exports: class factories, unload check, registration.
#include <windows.h>
#include <ole2.h>

#include <initguid.h>

#include "Korvanet_h.h"

#include "clsqmHTTPDataRequest.h"
#include "clsqmHTTPJob.h"
#include "qmClassFactory.h"
#include "qmModule.h"
#include "qmRegistration.h"

namespace {

using namespace korvanet;

struct qmCreatableClass {
  qmClassRegistration registration;
  qmClassFactory* factory;
};

qmClassFactory gDataRequestFactory(&korvanet::clsqmHTTPDataRequest::Create);
qmClassFactory gJobFactory(&korvanet::clsqmHTTPJob::Create);

const qmCreatableClass kClasses[] = {
    {{&CLSID_clsqmHTTPDataRequest, L"Korvanet.clsqmHTTPDataRequest", L"clsqmHTTPDataRequest"},
     &gDataRequestFactory},
    {{&CLSID_clsqmHTTPJob, L"Korvanet.clsqmHTTPJob", L"clsqmHTTPJob"}, &gJobFactory},
};

template <class Visit>
HRESULT ForRegistrations(Visit visit) {
  qmClassRegistration registrations[sizeof(kClasses) / sizeof(kClasses[0])];
  for (size_t i = 0; i < sizeof(kClasses) / sizeof(kClasses[0]); ++i) registrations[i] = kClasses[i].registration;
  return visit(registrations, sizeof(kClasses) / sizeof(kClasses[0]));
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (const qmCreatableClass& entry : kClasses) {
    if (clsid == *entry.registration.classId) {
      return entry.factory->QueryInterface(iid, object);
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  if (qmModuleInUse()) return S_FALSE;
  qmReleaseTypeLib();
  return S_OK;
}

STDAPI DllRegisterServer() {
  return ForRegistrations([](const qmClassRegistration* r, size_t n) { return qmRegisterClasses(r, n); });
}

STDAPI DllUnregisterServer() {
  return ForRegistrations([](const qmClassRegistration* r, size_t n) { return qmUnregisterClasses(r, n); });
}

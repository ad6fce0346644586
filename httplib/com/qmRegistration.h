// What DllRegisterServer writes and DllUnregisterServer removes: per class
// its CLSID key (InprocServer32, ThreadingModel Apartment, ProgID, TypeLib)
// and its ProgID key; once the type library. Unregistering leaves the keys
// that both registry views share (ProgIDs, the type library's key) to the
// DLL of the other bitness while it is registered.
#pragma once

#include <windows.h>

namespace korvanet {

struct qmClassRegistration {
  const CLSID* classId;
  const wchar_t* progId;       // "Korvanet.<class>"
  const wchar_t* description;
};

HRESULT qmRegisterClasses(const qmClassRegistration* classes, size_t count);
HRESULT qmUnregisterClasses(const qmClassRegistration* classes, size_t count);

}  // namespace korvanet

// The library's own state: its module handle, the count of living objects
// and transfers (which decides DllCanUnloadNow), and its type library.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace korvanet {

HINSTANCE qmModuleInstance();
std::wstring qmModulePath();

// Every COM object, class-factory lock and transfer in flight holds one.
void qmModuleLock();
void qmModuleUnlock();
bool qmModuleInUse();

// The library's embedded type library (resource TYPELIB 1), loaded once.
HRESULT qmTypeLib(ITypeLib** typeLib);
HRESULT qmTypeInfo(REFGUID guid, ITypeInfo** typeInfo);
// Drops the cached type library; called when the module may unload.
void qmReleaseTypeLib();

}  // namespace korvanet

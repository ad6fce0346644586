#include "qmModule.h"

#include <oleauto.h>

namespace korvanet {
namespace {

HINSTANCE gModule = nullptr;
volatile LONG gLocks = 0;
ITypeLib* volatile gTypeLib = nullptr;

}  // namespace

HINSTANCE qmModuleInstance() { return gModule; }

std::wstring qmModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD n = GetModuleFileNameW(gModule, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
  return std::wstring();
}

void qmModuleLock() { InterlockedIncrement(&gLocks); }
void qmModuleUnlock() { InterlockedDecrement(&gLocks); }
bool qmModuleInUse() { return InterlockedCompareExchange(&gLocks, 0, 0) != 0; }

HRESULT qmTypeLib(ITypeLib** typeLib) {
  if (!typeLib) return E_POINTER;
  *typeLib = nullptr;
  ITypeLib* cached = gTypeLib;
  if (!cached) {
    ITypeLib* loaded = nullptr;
    HRESULT hr = LoadTypeLibEx(qmModulePath().c_str(), REGKIND_NONE, &loaded);
    if (FAILED(hr)) return hr;
    // Objects of several apartments may race here; the loser drops its copy.
    cached = static_cast<ITypeLib*>(
        InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&gTypeLib), loaded, nullptr));
    if (cached) {
      loaded->Release();
    } else {
      cached = loaded;
    }
  }
  cached->AddRef();
  *typeLib = cached;
  return S_OK;
}

HRESULT qmTypeInfo(REFGUID guid, ITypeInfo** typeInfo) {
  if (!typeInfo) return E_POINTER;
  *typeInfo = nullptr;
  ITypeLib* lib = nullptr;
  HRESULT hr = qmTypeLib(&lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(guid, typeInfo);
  lib->Release();
  return hr;
}

void qmReleaseTypeLib() {
  ITypeLib* lib = static_cast<ITypeLib*>(
      InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&gTypeLib), nullptr));
  if (lib) lib->Release();
}

}  // namespace korvanet

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    korvanet::gModule = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

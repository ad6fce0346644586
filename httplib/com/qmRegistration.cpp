#include "qmRegistration.h"

#include <oleauto.h>

#include <string>

#include "qmComTypes.h"
#include "qmModule.h"

namespace korvanet {
namespace {

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Writes one REG_SZ value (name nullptr = the key's default value).
LSTATUS SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status;
}

LSTATUS DeleteTree(const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_SUCCESS) status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// The registry view of the other bitness. On 64-bit Windows the CLSID keys
// exist once per view, while the ProgID keys (and the type library's key)
// are one key for both: what the other bitness registered is seen only
// through its view. On 32-bit Windows the flag is ignored and names our own.
#ifdef _WIN64
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

// True when the DLL of the other bitness is registered for the class.
bool RegisteredInOtherView(const std::wstring& clsid) {
  HKEY handle = nullptr;
  const std::wstring key = L"CLSID\\" + clsid + L"\\InprocServer32";
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE | kOtherView, &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

HRESULT LibraryAttributes(TLIBATTR& attributes) {
  ComPtr<ITypeLib> lib;
  HRESULT hr = qmTypeLib(lib.GetAddressOf());
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = lib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  attributes = *attr;
  lib->ReleaseTLibAttr(attr);
  return S_OK;
}

}  // namespace

HRESULT qmRegisterClasses(const qmClassRegistration* classes, size_t count) {
  const std::wstring path = qmModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  TLIBATTR lib = {};
  HRESULT hr = LibraryAttributes(lib);
  if (FAILED(hr)) return hr;
  const std::wstring libId = GuidText(lib.guid);
  for (size_t i = 0; i < count; ++i) {
    const qmClassRegistration& c = classes[i];
    const std::wstring clsid = GuidText(*c.classId);
    const std::wstring key = L"CLSID\\" + clsid;
    LSTATUS status = SetText(key, nullptr, c.description);
    if (status == ERROR_SUCCESS) status = SetText(key + L"\\InprocServer32", nullptr, path);
    if (status == ERROR_SUCCESS)
      status = SetText(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    if (status == ERROR_SUCCESS) status = SetText(key + L"\\ProgID", nullptr, c.progId);
    if (status == ERROR_SUCCESS) status = SetText(key + L"\\TypeLib", nullptr, libId);
    if (status == ERROR_SUCCESS) status = SetText(key + L"\\Version", nullptr, L"1.0");
    if (status == ERROR_SUCCESS) status = SetText(c.progId, nullptr, c.description);
    if (status == ERROR_SUCCESS) status = SetText(std::wstring(c.progId) + L"\\CLSID", nullptr, clsid);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  ComPtr<ITypeLib> typeLib;
  hr = qmTypeLib(typeLib.GetAddressOf());
  if (FAILED(hr)) return hr;
  std::wstring typeLibPath = path;
  return RegisterTypeLib(typeLib.Get(), typeLibPath.data(), nullptr);
}

HRESULT qmUnregisterClasses(const qmClassRegistration* classes, size_t count) {
  HRESULT result = S_OK;
  for (size_t i = 0; i < count; ++i) {
    const qmClassRegistration& c = classes[i];
    const std::wstring clsid = GuidText(*c.classId);
    LSTATUS status = DeleteTree(L"CLSID\\" + clsid);
    // The ProgID stays while the other bitness's DLL still serves the class:
    // its clients find the class through it.
    LSTATUS progStatus = RegisteredInOtherView(clsid) ? ERROR_SUCCESS : DeleteTree(c.progId);
    if (status == ERROR_SUCCESS) status = progStatus;
    if (status != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(status);
  }
  TLIBATTR lib = {};
  HRESULT hr = LibraryAttributes(lib);
  if (SUCCEEDED(hr)) {
    // Removes this bitness's entry (win32 or win64) below the shared key,
    // and the shared key only when no entry of the other bitness is left.
    hr = UnRegisterTypeLib(lib.guid, lib.wMajorVerNum, lib.wMinorVerNum, lib.lcid, lib.syskind);
    // Not registered at all is what unregistering wants.
    if (hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY) hr = S_OK;
  }
  if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  return result;
}

}  // namespace korvanet

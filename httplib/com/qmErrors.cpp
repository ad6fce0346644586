#include "qmErrors.h"

#include <oleauto.h>
#include <winhttp.h>

namespace korvanet {

std::wstring qmErrorMessage(DWORD code) {
  if (code == kErrorCertificatePin)
    return L"The server's certificate does not match the pinned certificate (sServerCertSha256)";
  if (code == kErrorClientCertificate)
    return L"The client certificate (sClientCertificate) was not found in the certificate store";
  wchar_t* buffer = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
    source = GetModuleHandleW(L"winhttp.dll");
  }
  DWORD n = 0;
  if (source) {
    n = FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, source, code, 0,
                       reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  }
  if (n == 0) {
    n = FormatMessageW(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                       reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  }
  std::wstring text;
  if (n != 0 && buffer) text.assign(buffer, n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) text = L"Error " + std::to_wstring(code);
  return text;
}

long qmErrorNumber(HRESULT hr) {
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32 || HRESULT_FACILITY(hr) == FACILITY_CONTROL)
    return HRESULT_CODE(hr);
  return static_cast<long>(hr);
}

HRESULT qmRaise(HRESULT hr, const std::wstring& description, const wchar_t* source, REFIID iid) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

HRESULT qmRaiseCode(DWORD code, const wchar_t* source, REFIID iid) {
  return qmRaise(qmHresultFromCode(code), qmErrorMessage(code), source, iid);
}

}  // namespace korvanet

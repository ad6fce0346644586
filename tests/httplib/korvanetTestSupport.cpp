#include "korvanetTestSupport.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <fstream>

#include "qmTestSupport.h"

namespace korvanettest {

const ServerPorts& Ports() {
  static ServerPorts ports = [] {
    ServerPorts read;
    const std::pair<const char*, int ServerPorts::*> keys[] = {
        {"http=", &ServerPorts::http}, {"other=", &ServerPorts::other}, {"proxy=", &ServerPorts::proxy},
        {"refused=", &ServerPorts::refused}, {"https=", &ServerPorts::https}, {"mtls=", &ServerPorts::mtls}};
    std::ifstream in(qmtest::ToAnsi(qmtest::ProgramFolder() + L"\\httplib-servers.txt"));
    for (std::string line; std::getline(in, line);)
      for (const auto& [key, port] : keys)
        if (line.rfind(key, 0) == 0) read.*port = std::atoi(line.c_str() + strlen(key));
    return read;
  }();
  return ports;
}

std::wstring Url(const std::wstring& pathAndQuery, const wchar_t* host, int port) {
  return std::wstring(L"http://") + host + L":" + std::to_wstring(port ? port : Ports().http) + pathAndQuery;
}

Var::Var(IDispatch* object) : Var(Type{VT_DISPATCH}) {
  V_DISPATCH(&v) = object;
  if (object) object->AddRef();
}
Var& Var::operator=(const Var& other) {
  if (this != &other) VariantCopy(&v, const_cast<VARIANT*>(&other.v));
  return *this;
}
Var Var::As(VARTYPE type) const {
  Var converted;
  VariantChangeType(&converted.v, const_cast<VARIANT*>(&v), VARIANT_ALPHABOOL, type);
  return converted;
}
std::wstring Var::Text() const {
  if (V_VT(&v) == VT_BSTR) return std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
  const Var text = As(VT_BSTR);
  return V_VT(&text.v) == VT_BSTR ? text.Text() : L"";
}
long Var::Long() const {
  const Var value = As(VT_I4);
  return V_VT(&value.v) == VT_I4 ? V_I4(&value.v) : 0;
}

Dispatch Dispatch::Create(const wchar_t* progId) {
  CLSID clsid;
  Dispatch result;
  // (mingw's ComPtr::Attach adds a reference, so the pointer is filled in place.)
  if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                     reinterpret_cast<void**>(result.mp.GetAddressOf()));
  return result;
}

CallResult Dispatch::Invoke(const wchar_t* name, WORD flags, std::vector<Var> args, bool byRef) const {
  CallResult out;
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  out.hr = mp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(out.hr)) return out;
  // DISPPARAMS hold the arguments in reverse order.
  std::vector<VARIANT> passed(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    VARIANT& slot = passed[args.size() - 1 - i];
    slot = args[i].v;  // borrowed; args outlives the call
    if (byRef) {
      V_VT(&slot) = VT_VARIANT | VT_BYREF;
      V_VARIANTREF(&slot) = &args[i].v;
    }
  }
  // A property's new value is the one named argument DISPID_PROPERTYPUT.
  const bool put = flags & DISPATCH_PROPERTYPUT;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {passed.data(), put ? &named : nullptr, static_cast<UINT>(passed.size()), put ? 1u : 0u};
  EXCEPINFO exception = {};
  UINT argError = 0;
  out.hr = mp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : &out.value.v, &exception,
                      &argError);
  if (out.hr == DISP_E_EXCEPTION) {
    if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
    out.number = exception.scode ? exception.scode : exception.wCode;
    if (exception.bstrDescription) out.description = exception.bstrDescription;
    if (exception.bstrSource) out.source = exception.bstrSource;
  }
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrHelpFile);
  return out;
}

const Dispatch& Dispatch::Set(const Settings& settings) const {
  for (const auto& [name, value] : settings) Put(name, value);
  return *this;
}

std::tuple<long, long, std::wstring> Dispatch::Outcome() const {
  return {Get(L"lErrorcode").Long(), Get(L"lResponseCode").Long(), Get(L"sResponse").Text()};
}

std::pair<long, std::wstring> Dispatch::Error() const {
  return {Get(L"lErrorcode").Long(), Get(L"sErrortext").Text()};
}

Dispatch MakeRequest(const Dispatch::Settings& settings) {
  Dispatch request = Dispatch::Create(L"Korvanet.clsqmHTTPDataRequest");
  if (request.get()) request.Set(settings);
  return request;
}

std::wstring Fetch(const Dispatch::Settings& settings) {
  Dispatch request = MakeRequest(settings);
  request.Call(L"gbGet");
  return request.Get(L"sResponse").Text();
}

bool EventSink::Connect(IDispatch* source) {
  ComPtr<IConnectionPointContainer> container;
  if (FAILED(source->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(container.GetAddressOf()))))
    return false;
  if (FAILED(container->FindConnectionPoint(mEvents, mPoint.GetAddressOf()))) return false;
  return SUCCEEDED(mPoint->Advise(static_cast<IDispatch*>(this), &mCookie));
}

void EventSink::Disconnect() {
  if (mPoint && mCookie) mPoint->Unadvise(mCookie);
  mCookie = 0;
  mPoint.Reset();
}

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** object) {
  const bool known = iid == IID_IUnknown || iid == IID_IDispatch || iid == mEvents;
  *object = known ? static_cast<IDispatch*>(this) : nullptr;
  if (known) AddRef();
  return known ? S_OK : E_NOINTERFACE;
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                               UINT*) {
  events.push_back(id);
  if (onEvent) onEvent(id, params);
  return S_OK;
}

std::wstring ErrorText(DWORD code) {
  wchar_t text[512] = {};
  const DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE winhttp = code >= 12000 && code < 13000 ? GetModuleHandleW(L"winhttp.dll") : nullptr;
  std::wstring message(text, FormatMessageW(flags, winhttp, code, 0, text, 512, nullptr));
  message.erase(message.find_last_not_of(L"\r\n ") + 1);  // npos + 1: all of it
  return message.empty() ? L"Error " + std::to_wstring(code) : message;
}

std::wstring Hex(const std::string& bytes, const wchar_t* separator) {
  std::wstring hex;
  wchar_t pair[4];
  for (unsigned char b : bytes) {
    swprintf(pair, 4, separator ? L"%02X" : L"%02x", b);
    hex += (separator && !hex.empty() ? separator : L"") + std::wstring(pair);
  }
  return hex;
}

bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (!done()) {
    ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    // done() is asked every 50 ms at least, so that it may also sample.
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 50)), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  return true;
}

SIZE_T CommittedBytes() {
  SIZE_T total = 0;
  MEMORY_BASIC_INFORMATION region = {};
  for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
       at = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
  return total;
}

}  // namespace korvanettest

#include "korvanetTestSupport.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "qmTestSupport.h"

namespace korvanettest {

const ServerPorts& Ports() {
  static ServerPorts ports = [] {
    ServerPorts read;
    std::ifstream in(qmtest::ToAnsi(qmtest::ProgramFolder() + L"\\httplib-servers.txt"));
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      int value = std::atoi(line.c_str() + eq + 1);
      std::string key = line.substr(0, eq);
      if (key == "http") read.http = value;
      if (key == "other") read.other = value;
      if (key == "proxy") read.proxy = value;
      if (key == "refused") read.refused = value;
      if (key == "https") read.https = value;
      if (key == "mtls") read.mtls = value;
    }
    return read;
  }();
  return ports;
}

std::wstring Url(const std::wstring& pathAndQuery, const wchar_t* host, int port) {
  return std::wstring(L"http://") + host + L":" + std::to_wstring(port ? port : Ports().http) + pathAndQuery;
}

Var::Var(const wchar_t* text) : Var(std::wstring(text)) {}
Var::Var(const std::wstring& text) {
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
Var::Var(long value) {
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
}
Var::Var(short value) {
  VariantInit(&v);
  V_VT(&v) = VT_I2;
  V_I2(&v) = value;
}
Var::Var(bool value) {
  VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
}
Var::Var(IDispatch* object) {
  VariantInit(&v);
  V_VT(&v) = VT_DISPATCH;
  V_DISPATCH(&v) = object;
  if (object) object->AddRef();
}
Var::Var(const Var& other) {
  VariantInit(&v);
  VariantCopy(&v, const_cast<VARIANT*>(&other.v));
}
Var& Var::operator=(const Var& other) {
  if (this != &other) VariantCopy(&v, const_cast<VARIANT*>(&other.v));
  return *this;
}
std::wstring Var::Text() const {
  if (V_VT(&v) == VT_BSTR) return V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"";
  VARIANT copy;
  VariantInit(&copy);
  std::wstring text;
  if (SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT*>(&v), VARIANT_ALPHABOOL, VT_BSTR)))
    text.assign(V_BSTR(&copy), SysStringLen(V_BSTR(&copy)));
  VariantClear(&copy);
  return text;
}
long Var::Long() const {
  VARIANT copy;
  VariantInit(&copy);
  long value = 0;
  if (SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT*>(&v), 0, VT_I4))) value = V_I4(&copy);
  VariantClear(&copy);
  return value;
}
bool Var::Bool() const { return V_VT(&v) == VT_BOOL && V_BOOL(&v) == VARIANT_TRUE; }
IDispatch* Var::Object() const { return V_VT(&v) == VT_DISPATCH ? V_DISPATCH(&v) : nullptr; }

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
    VariantInit(&slot);
    if (byRef) {
      V_VT(&slot) = VT_VARIANT | VT_BYREF;
      V_VARIANTREF(&slot) = &args[i].v;
    } else {
      slot = args[i].v;  // borrowed; args outlives the call
    }
  }
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {passed.data(), nullptr, static_cast<UINT>(passed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception = {};
  UINT argError = 0;
  out.hr = mp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                      (flags & DISPATCH_PROPERTYPUT) ? nullptr : &out.value.v, &exception, &argError);
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

Var Dispatch::Get(const wchar_t* name) const {
  return Invoke(name, DISPATCH_PROPERTYGET, {}, false).value;
}

void Dispatch::Put(const wchar_t* name, const Var& value) const {
  Invoke(name, DISPATCH_PROPERTYPUT, {value}, false);
}

CallResult Dispatch::Call(const wchar_t* name, std::vector<Var> args, bool byRef) const {
  return Invoke(name, DISPATCH_METHOD, std::move(args), byRef);
}

const Dispatch& Dispatch::Set(Settings settings) const {
  for (const auto& [name, value] : settings) Put(name, value);
  return *this;
}

std::tuple<long, long, std::wstring> Dispatch::Outcome() const {
  return {Get(L"lErrorcode").Long(), Get(L"lResponseCode").Long(), Get(L"sResponse").Text()};
}

Dispatch MakeRequest(Dispatch::Settings settings) {
  Dispatch request = Dispatch::Create(L"Korvanet.clsqmHTTPDataRequest");
  if (request.get()) request.Set(settings);
  return request;
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
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == mEvents) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                               UINT*) {
  events.push_back(id);
  if (onEvent) onEvent(id, params);
  return S_OK;
}

std::wstring SystemMessage(DWORD code) {
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, 512,
                           nullptr);
  std::wstring message(text, n);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return message;
}

std::wstring ErrorText(DWORD code) {
  const std::wstring message = SystemMessage(code);
  return message.empty() ? L"Error " + std::to_wstring(code) : message;
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
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
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

SIZE_T CommittedGrowthUntil(const std::function<bool()>& done, DWORD milliseconds, bool& finished) {
  const SIZE_T before = CommittedBytes();
  SIZE_T peak = before;
  finished = PumpUntil(
      [&] {
        peak = std::max(peak, CommittedBytes());
        return done();
      },
      milliseconds);
  return peak - before;
}

}  // namespace korvanettest

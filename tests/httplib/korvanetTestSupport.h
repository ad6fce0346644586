// What Korvanet's test clients share: the loopback servers' ports, late-bound
// calls through IDispatch (as script clients make them), an event sink for
// connection points, and message pumping.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace korvanettest {

using Microsoft::WRL::ComPtr;

// https: a TLS origin with a self-signed certificate; mtls: the same, asking for a client certificate.
// other: the origin server again on a port of its own (another origin of the same host).
struct ServerPorts { int http = 0, other = 0, proxy = 0, refused = 0, https = 0, mtls = 0; };
// Read from httplib-servers.txt beside the test program (written by the fixture).
const ServerPorts& Ports();
std::wstring Url(const std::wstring& pathAndQuery, const wchar_t* host = L"127.0.0.1", int port = 0);

// A VARIANT that cleans up after itself, with readers for the usual types.
class Var {
 public:
  Var() { VariantInit(&v); }
  Var(const wchar_t* text) : Var(std::wstring(text)) {}
  Var(const std::wstring& text) : Var(Type{VT_BSTR}) {
    V_BSTR(&v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  Var(long value) : Var(Type{VT_I4}) { V_I4(&v) = value; }
  Var(int value) : Var(static_cast<long>(value)) {}
  Var(short value) : Var(Type{VT_I2}) { V_I2(&v) = value; }
  Var(bool value) : Var(Type{VT_BOOL}) { V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE; }
  Var(IDispatch* object);
  Var(const Var& other) : Var() { *this = other; }
  Var& operator=(const Var& other);
  ~Var() { VariantClear(&v); }
  std::wstring Text() const;   // VT_BSTR content (converted otherwise)
  long Long() const;
  bool Bool() const { return V_VT(&v) == VT_BOOL && V_BOOL(&v) == VARIANT_TRUE; }
  IDispatch* Object() const { return V_VT(&v) == VT_DISPATCH ? V_DISPATCH(&v) : nullptr; }  // borrowed
  VARIANT v;

 private:
  struct Type { VARTYPE vt; };
  explicit Var(Type type) : Var() { V_VT(&v) = type.vt; }
  Var As(VARTYPE type) const;  // VT_EMPTY when the value has no such form
};

// The outcome of a late-bound call: HRESULT, result and the error's fields.
struct CallResult {
  HRESULT hr = S_OK;
  Var value;
  std::wstring description, source;
  long number = 0;  // EXCEPINFO scode as a script sees it
};

// Late-bound access by name; the arguments are passed as a script passes
// them when byRef is set (VT_VARIANT | VT_BYREF).
class Dispatch {
 public:
  explicit Dispatch(IDispatch* object = nullptr) : mp(object) {}
  static Dispatch Create(const wchar_t* progId);
  IDispatch* get() const { return mp.Get(); }
  Var Get(const wchar_t* name) const { return Invoke(name, DISPATCH_PROPERTYGET, {}, false).value; }
  void Put(const wchar_t* name, const Var& value) const { Invoke(name, DISPATCH_PROPERTYPUT, {value}, false); }
  CallResult Call(const wchar_t* name, std::vector<Var> args = {}, bool byRef = false) const {
    return Invoke(name, DISPATCH_METHOD, std::move(args), byRef);
  }
  CallResult Invoke(const wchar_t* name, WORD flags, std::vector<Var> args, bool byRef) const;
  // Puts each property in turn, as a script's lines of assignments do.
  using Settings = std::vector<std::pair<const wchar_t*, Var>>;
  const Dispatch& Set(const Settings& settings) const;
  // A request's lErrorcode, lResponseCode and sResponse, compared as one.
  std::tuple<long, long, std::wstring> Outcome() const;
  // Its lErrorcode and sErrortext.
  std::pair<long, std::wstring> Error() const;

 private:
  ComPtr<IDispatch> mp;
};

// A new Korvanet.clsqmHTTPDataRequest with the given properties.
Dispatch MakeRequest(const Dispatch::Settings& settings = {});
// The sResponse of a new one's gbGet.
std::wstring Fetch(const Dispatch::Settings& settings);
using Outcome = std::tuple<long, long, std::wstring>;

// Connects to an object's source interface and records the events.
class EventSink : public IDispatch {
 public:
  explicit EventSink(REFIID events) : mEvents(events) {}
  // Connected at once (a failed connection shows as events that never come).
  EventSink(REFIID events, IDispatch* source) : mEvents(events) { Connect(source); }
  virtual ~EventSink() { Disconnect(); }
  bool Connect(IDispatch* source);
  void Disconnect();

  std::function<void(DISPID, DISPPARAMS*)> onEvent;
  std::vector<DISPID> events;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++mRefs; }
  STDMETHODIMP_(ULONG) Release() override { return --mRefs; }  // lives on the stack
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override;

 private:
  IID mEvents;
  ULONG mRefs = 1;
  ComPtr<IConnectionPoint> mPoint;
  DWORD mCookie = 0;
};

// The library's text for a code: the platform's message (WinHTTP's own for
// its codes, where it has one), or (where Wine has none) "Error " and the number.
std::wstring ErrorText(DWORD code);
// A code with that text; no text for no error.
inline std::pair<long, std::wstring> ErrorOf(DWORD code) {
  return {static_cast<long>(code), code ? ErrorText(code) : L""};
}

// Lower-case hex, or as people copy it from certificate viewers: upper
// case, pairs separated by colons or blanks.
std::wstring Hex(const std::string& bytes, const wchar_t* separator = nullptr);

// The private memory the process has committed, summed over its address
// space: what a client holds, also under Wine, whose process counters keep
// no count of private bytes.
SIZE_T CommittedBytes();

inline bool Contains(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

// Processes the thread's messages until done() or the time is up; true when
// done(). done() is asked at least every 50 ms.
bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds);

}  // namespace korvanettest

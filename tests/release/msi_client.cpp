// A compiled client of one bitness, as a program on a machine where
// Korvanet came from its Windows Installer package: finds both classes by
// their ProgIDs and binds early to their dual interfaces (the way the README
// shows), runs one GET on its own and one in a job against the loopback
// server on 127.0.0.1 at the port given as the argument. Prints its
// bitness, then "VERDICT PASS" or the failed steps; the exit code is 0 only
// on PASS.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>

#include <initguid.h>

#include <wrl/client.h>

#include "Korvanet_h.h"

using Microsoft::WRL::ComPtr;

namespace {

// The server's echo starts with the request line it received.
bool EchoesGet(BSTR response, const std::wstring& pathAndQuery) {
  const std::wstring expected = L"GET " + pathAndQuery + L" HTTP/1.1";
  return response && std::wstring(response, SysStringLen(response)).starts_with(expected);
}

template <typename Interface>
HRESULT CreateByProgId(const wchar_t* progId, REFIID iid, ComPtr<Interface>& object) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                          reinterpret_cast<void**>(object.GetAddressOf()));
}

class Client {
 public:
  explicit Client(std::wstring port) : msPort(std::move(port)) {}

  void Check(bool ok, const std::wstring& what) {
    if (!ok) mFailures += what + L"; ";
  }
  bool Passed() const { return mFailures.empty(); }
  const std::wstring& Failures() const { return mFailures; }

  void Run() {
    ComPtr<_clsqmHTTPDataRequest> request;
    ComPtr<_clsqmHTTPJob> job;
    HRESULT hr = CreateByProgId(L"Korvanet.clsqmHTTPDataRequest", IID__clsqmHTTPDataRequest, request);
    Check(SUCCEEDED(hr), L"creating the data request (" + std::to_wstring(hr) + L")");
    hr = CreateByProgId(L"Korvanet.clsqmHTTPJob", IID__clsqmHTTPJob, job);
    Check(SUCCEEDED(hr), L"creating the job (" + std::to_wstring(hr) + L")");
    if (!Passed()) return;
    Check(Get(request.Get(), L"/echo?alone"), L"the GET on its own");

    ComPtr<_clsqmHTTPDataRequest> queued;
    Check(SUCCEEDED(CreateByProgId(L"Korvanet.clsqmHTTPDataRequest", IID__clsqmHTTPDataRequest, queued)),
          L"creating the job's request");
    if (!Passed()) return;
    SetText(queued.Get(), &_clsqmHTTPDataRequest::put_sURL, Url(L"/echo?injob"));
    SetText(queued.Get(), &_clsqmHTTPDataRequest::put_sRequestType, L"GET");
    VARIANT_BOOL added = VARIANT_FALSE;
    _clsqmHTTPDataRequest* passed = queued.Get();
    Check(SUCCEEDED(job->bAddRequest(&passed, &added)) && added == VARIANT_TRUE, L"bAddRequest");
    VARIANT_BOOL done = VARIANT_FALSE;
    Check(SUCCEEDED(job->bDoRequests(&done)) && done == VARIANT_TRUE, L"bDoRequests");
    BSTR response = nullptr;
    queued->get_sResponse(&response);
    Check(EchoesGet(response, L"/echo?injob"), L"the response in the job");
    SysFreeString(response);
  }

 private:
  static void SetText(_clsqmHTTPDataRequest* request, HRESULT (STDMETHODCALLTYPE _clsqmHTTPDataRequest::*put)(BSTR),
                      const std::wstring& text) {
    BSTR value = SysAllocString(text.c_str());
    (request->*put)(value);
    SysFreeString(value);
  }

  bool Get(_clsqmHTTPDataRequest* request, const std::wstring& pathAndQuery) {
    SetText(request, &_clsqmHTTPDataRequest::put_sURL, Url(pathAndQuery));
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(request->gbGet(0, &ok)) || ok != VARIANT_TRUE) return false;
    BSTR response = nullptr;
    request->get_sResponse(&response);
    const bool echoed = EchoesGet(response, pathAndQuery);
    SysFreeString(response);
    return echoed;
  }

  std::wstring Url(const std::wstring& pathAndQuery) const {
    return L"http://127.0.0.1:" + msPort + pathAndQuery;
  }

  std::wstring msPort;
  std::wstring mFailures;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::printf("ARCH %s\n", sizeof(void*) == 8 ? "AMD64" : "x86");
  if (argc != 2) {
    std::printf("VERDICT FAIL: usage: korvanet_msi_client <port>\n");
    return 1;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::printf("VERDICT FAIL: CoInitializeEx\n");
    return 1;
  }
  Client client(argv[1]);
  client.Run();
  CoUninitialize();
  if (client.Passed()) {
    std::printf("VERDICT PASS\n");
    return 0;
  }
  std::printf("VERDICT FAIL: %ls\n", client.Failures().c_str());
  return 1;
}

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

#include <initguid.h>

#include <wrl/client.h>

#include "Korvanet_h.h"

using Microsoft::WRL::ComPtr;

namespace {

std::wstring gFailures;
void Check(bool ok, const wchar_t* what) {
  if (!ok) gFailures += std::wstring(what) + L"; ";
}

template <typename Interface>
ComPtr<Interface> Create(const wchar_t* progId, REFIID iid) {
  ComPtr<Interface> object;
  CLSID clsid;
  if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(object.GetAddressOf()));
  Check(object != nullptr, progId);
  return object;
}

// (The echo starts with the request line the server received.)
void SetUrl(_clsqmHTTPDataRequest* request, const std::wstring& url) {
  BSTR value = SysAllocString(url.c_str());
  request->put_sURL(value);
  SysFreeString(value);
}
bool EchoesGet(_clsqmHTTPDataRequest* request, const std::wstring& pathAndQuery) {
  BSTR response = nullptr;
  request->get_sResponse(&response);
  const bool echoed = response && std::wstring(response, SysStringLen(response)).starts_with(
                                      L"GET " + pathAndQuery + L" HTTP/1.1");
  SysFreeString(response);
  return echoed;
}

void Run(const std::wstring& base) {
  auto request = Create<_clsqmHTTPDataRequest>(L"Korvanet.clsqmHTTPDataRequest", IID__clsqmHTTPDataRequest);
  auto queued = Create<_clsqmHTTPDataRequest>(L"Korvanet.clsqmHTTPDataRequest", IID__clsqmHTTPDataRequest);
  auto job = Create<_clsqmHTTPJob>(L"Korvanet.clsqmHTTPJob", IID__clsqmHTTPJob);
  if (!gFailures.empty()) return;
  SetUrl(request.Get(), base + L"/echo?alone");
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(SUCCEEDED(request->gbGet(0, &ok)) && ok && EchoesGet(request.Get(), L"/echo?alone"), L"the GET on its own");

  SetUrl(queued.Get(), base + L"/echo?injob");
  BSTR get = SysAllocString(L"GET");
  queued->put_sRequestType(get);
  SysFreeString(get);
  _clsqmHTTPDataRequest* passed = queued.Get();
  Check(SUCCEEDED(job->bAddRequest(&passed, &ok)) && ok, L"bAddRequest");
  Check(SUCCEEDED(job->bDoRequests(&ok)) && ok, L"bDoRequests");
  Check(EchoesGet(queued.Get(), L"/echo?injob"), L"the response in the job");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::printf("ARCH %s\n", sizeof(void*) == 8 ? "AMD64" : "x86");
  if (argc != 2 || FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::printf("VERDICT FAIL: usage: korvanet_msi_client <port> (or COM could not start)\n");
    return 1;
  }
  Run(L"http://127.0.0.1:" + std::wstring(argv[1]));
  CoUninitialize();
  if (gFailures.empty()) std::printf("VERDICT PASS\n");
  else std::printf("VERDICT FAIL: %ls\n", gFailures.c_str());
  return gFailures.empty() ? 0 : 1;
}

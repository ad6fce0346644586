// Binary bodies and downloads as a client sees them: vResponseBody as a
// byte array and sResponseFile with its part file, through late binding (as
// VBA and scripts call) and through the new interface's vtable (compiled
// clients), alone and in a job.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <algorithm>
#include <filesystem>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

// The bytes of a byte-array variant with lower bound 0; fails the test on
// anything else.
std::string BytesOf(const Var& value) {
  EXPECT_EQ(V_VT(&value.v), VT_ARRAY | VT_UI1);
  if (V_VT(&value.v) != (VT_ARRAY | VT_UI1) || !V_ARRAY(&value.v)) return "(no byte array)";
  const SAFEARRAY* array = V_ARRAY(&value.v);
  EXPECT_EQ(array->cDims, 1u);
  EXPECT_EQ(array->rgsabound[0].lLbound, 0);
  return std::string(static_cast<const char*>(array->pvData), array->rgsabound[0].cElements);
}

// The names in a folder: a part file left behind shows here.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(folder, missing))
    names.push_back(entry.path().filename().wstring());
  std::sort(names.begin(), names.end());
  return names;
}

class Download : public RequestFixture {
 protected:
  std::string Body() { return BytesOf(req.Get(L"vResponseBody")); }

  qmtest::ScratchFolder folder{L"kvdl"};
};

TEST_F(Download, AllByteValuesArriveExactlyAsTheBodyAndAsAFilePlainOrGzipEncoded) {
  EXPECT_EQ(Body(), "") << "a new object holds an empty byte array";
  std::string all, many;  // every byte value; 40 times all
  for (int i = 0; i < 256 * 41; ++i) (i < 256 ? all : many).push_back(static_cast<char>(i));
  const std::wstring target = folder / L"all values.pdf";
  for (const auto& [query, bytes] :
       {std::pair{L"type=application/pdf", all}, std::pair{L"gzip=1&type=application/zip", many}}) {
    SCOPED_TRACE(query);
    req.Set({{L"sResponseFile", L""}, {L"sURL", Url(L"/bytes?" + std::wstring(query) + L"&hex=" + Hex(bytes))}});
    ASSERT_TRUE(Get());
    EXPECT_EQ(Body(), bytes);
    req.Put(L"sResponseFile", target);
    ASSERT_TRUE(Get());
    EXPECT_EQ(req.Outcome(), Outcome(0, 200, L"")) << Text(L"sErrortext");
    EXPECT_EQ(qmtest::ReadBytes(target), bytes);
    EXPECT_EQ(Body(), "") << "a body written to a file is not held as well";
    EXPECT_EQ(FilesIn(folder.path()), std::vector<std::wstring>{L"all values.pdf"}) << "no part file is left";
  }
  EXPECT_TRUE(Contains(Text(L"sHeaders"), L"Content-Encoding: gzip")) << "it was compressed on the wire";

  // Text for sResponse, the same resource's bytes for vResponseBody.
  req.Set({{L"sResponseFile", L""}, {L"sURL", Url(L"/text")}});
  ASSERT_TRUE(Get());
  EXPECT_EQ(Text(L"sResponse"), L"Gr\u00fc\u00dfe aus K\u00f6ln");
  EXPECT_EQ(Body(), "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln");
}

TEST_F(Download, AGigabyteDownloadKeepsTheClientsMemoryFarBelowTheBodysSize) {
  // More than 1 GiB, what a 32-bit client could never hold twice. (Its bytes
  // exactly: the smaller downloads here, over several reads.)
  const unsigned long long size = 1100000000ULL;
  // (The peak working set: Wine keeps no count of private bytes.)
  const std::wstring target = folder / L"big.bin";
  // (lTimeoutBase: the whole transfer's time.)
  req.Set({{L"lTimeoutBase", 900L}, {L"sResponseFile", target}, {L"sURL", Url(L"/stream?bytes=" + std::to_wstring(size))}});
  ASSERT_TRUE(Get()) << Text(L"sErrortext");
  EXPECT_EQ(Long(L"lErrorcode"), 0) << Text(L"sErrortext");
  PROCESS_MEMORY_COUNTERS counters = {};
  EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)));
  EXPECT_LT(counters.PeakWorkingSetSize, SIZE_T{200} << 20) << (counters.PeakWorkingSetSize >> 20) << " MiB";

  EXPECT_EQ(std::filesystem::file_size(target), size);
  EXPECT_TRUE(DeleteFileW(target.c_str()));
}

// Whatever ends short of the whole resource is no download: the target
// keeps what it held (nothing, or an older file), no part file is left, and
// neither the response text nor the body holds a piece of it.
TEST_F(Download, ADownloadThatFailsOrIsNotTheWholeResourceLeavesTheTargetAndSaysWhy) {
  // status -1: not looked at; inMemory: the same failure without a target.
  const struct { const wchar_t* path; long status; DWORD error; bool inMemory; } cases[] = {
      // The server announces 4 MB and closes the connection after 2 MB.
      {L"/stream?bytes=4000000&cutat=2000000", -1, ERROR_WINHTTP_CONNECTION_ERROR, true},
      // 4 GiB + 1000 bytes announced, 100 000 sent: read as a 32-bit number the
      // announcement would be 1000 bytes, and the download a "success" of those.
      {L"/stream?bytes=4294968296&cutat=100000", -1, ERROR_WINHTTP_CONNECTION_ERROR, false},
      // A chunked body is whole only with its last (empty) chunk: the server
      // sends that many of its five chunks, then closes without the last.
      {L"/chunked?cut=0", -1, ERROR_WINHTTP_CONNECTION_ERROR, true},
      {L"/chunked?cut=4", -1, ERROR_WINHTTP_CONNECTION_ERROR, true},
      {L"/brokengzip", -1, ERROR_INVALID_DATA, false},
      // A response other than a success is no download: its status tells.
      {L"/status?code=404", 404, 0, false},
      {L"/status?code=204", 204, ERROR_NO_MORE_ITEMS, false},
      {L"/status?code=205", 205, ERROR_NO_MORE_ITEMS, false},
      {L"/status?code=206", 206, ERROR_MORE_DATA, false},
  };
  const std::wstring target = folder / L"report.pdf";
  const std::string older = "%PDF-1.4 the older report\r\n";
  for (const auto& c : cases) {
    for (const wchar_t* before : {L"in memory", L"no file", L"an older file"}) {
      if (before[0] == L'i' && !c.inMemory) continue;
      SCOPED_TRACE(std::wstring(c.path) + L", " + before);
      if (before[0] == L'a') qmtest::WriteBytes(target, older);
      req.Set({{L"sResponseFile", before[0] == L'i' ? L"" : target}, {L"sURL", Url(c.path)}});
      EXPECT_TRUE(Get()) << "it completes, with an error";
      EXPECT_EQ(Long(L"lResponseCode"), c.status < 0 ? Long(L"lResponseCode") : c.status);
      EXPECT_EQ(req.Error(), ErrorOf(c.error));
      EXPECT_EQ(qmtest::ToAnsi(Text(L"sResponse")) + Body(), "") << "neither the text nor the body";
      EXPECT_EQ(qmtest::ReadBytes(target), before[0] == L'a' ? older : "");
      EXPECT_EQ(FilesIn(folder.path()), before[0] == L'a' ? std::vector<std::wstring>{L"report.pdf"}
                                                           : std::vector<std::wstring>{});
      DeleteFileW(target.c_str());
    }
  }
  // A whole body replaces the older file, also a chunked one whose server
  // closes the connection after its last chunk.
  std::string whole;
  for (int i = 0; i < 5; ++i)
    for (int k = 0; k < 1000; ++k) whole += "part" + std::to_string(i) + ";";
  qmtest::WriteBytes(target, older);
  req.Set({{L"sResponseFile", target}, {L"sURL", Url(L"/chunked?close=1")}});
  EXPECT_TRUE(Get());
  EXPECT_EQ(qmtest::ReadBytes(target), whole);
  EXPECT_EQ(FilesIn(folder.path()), std::vector<std::wstring>{L"report.pdf"});
}

TEST_F(Download, ATargetThatCannotBeWrittenGivesTheSystemsErrorBeforeAnythingIsSent) {
  struct Case { std::wstring target; DWORD error; };
  qmtest::WriteBytes(folder / L"locked.bin", "read-only");
  SetFileAttributesW((folder / L"locked.bin").c_str(), FILE_ATTRIBUTE_READONLY);
  CreateDirectoryW((folder / L"a folder").c_str(), nullptr);
  for (const Case& c : {Case{folder / L"missing\\file.bin", ERROR_PATH_NOT_FOUND},
                        Case{folder / L"locked.bin", ERROR_ACCESS_DENIED},
                        Case{folder / L"a folder", ERROR_ACCESS_DENIED},
                        Case{folder.path() + L"\\", ERROR_INVALID_NAME}}) {
    req.Set({{L"sResponseFile", c.target}, {L"sURL", Url(L"/stream?bytes=1000")}});
    EXPECT_FALSE(Get()) << c.target;
    EXPECT_EQ(req.Error(), ErrorOf(c.error)) << c.target;
    EXPECT_EQ(FilesIn(folder.path()), (std::vector<std::wstring>{L"a folder", L"locked.bin"})) << c.target;
  }
  EXPECT_EQ(qmtest::ReadBytes(folder / L"locked.bin"), "read-only");
  EXPECT_TRUE(done.events.empty()) << "nothing was started";
  SetFileAttributesW((folder / L"locked.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Download, CompiledClientsReachTheNewMembersAndTheEarlierInterfacesStillAnswer) {
  ComPtr<_clsqmHTTPDataRequest> typed;
  ASSERT_EQ(CoCreateInstance(CLSID_clsqmHTTPDataRequest, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&typed)), S_OK);
  // Clients compiled against the earlier versions: the same object, the
  // beginning of the same vtable.
  ComPtr<_clsqmHTTPDataRequest2> second;
  ASSERT_EQ(typed.As(&second), S_OK);
  EXPECT_EQ(static_cast<void*>(second.Get()), static_cast<void*>(typed.Get()));
  ComPtr<_clsqmHTTPDataRequest1> old;
  ASSERT_EQ(typed.As(&old), S_OK);
  const Var url(Url(L"/stream?bytes=70000"));
  EXPECT_EQ(old->put_sURL(V_BSTR(&url.v)), S_OK);
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(old->gbGet(0, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  Var body;
  EXPECT_EQ(typed->get_vResponseBody(&body.v), S_OK);
  // (The bytes exactly: the late-bound tests, through the same property.)
  EXPECT_EQ(BytesOf(body).size(), 70000u);

  // IDispatch is the newest interface, whose type describes them all.
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(old.As(&dispatch), S_OK);
  EXPECT_EQ(static_cast<void*>(dispatch.Get()), static_cast<void*>(typed.Get()));
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.GetAddressOf()), S_OK);
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
  EXPECT_TRUE(IsEqualGUID(attributes->guid, IID__clsqmHTTPDataRequest));
  info->ReleaseTypeAttr(attributes);
  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(typed.As(&errors), S_OK);
  for (const IID* iid : {&IID__clsqmHTTPDataRequest, &IID__clsqmHTTPDataRequest2, &IID__clsqmHTTPDataRequest1})
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(*iid), S_OK);
}

}  // namespace

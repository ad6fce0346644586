// Korvanet's classes as a client sees them through COM, in one program:
// first clsqmHTTPDataRequest with late-bound calls (the way script clients
// call), the Done event through a connection point and the bytes that reach
// the loopback server; then its downloads; then clsqmHTTPJob.
#include <gtest/gtest.h>

#include <windows.h>
#include <cguid.h>
#include <psapi.h>
#include <winhttp.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

class DataRequest : public RequestFixture {};
using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;

// The values of the header lines of one name in an echoed request, whatever
// the name's case, joined with "|"; empty when there is none.
std::wstring Header(const std::wstring& echo, const std::wstring& name) {
  std::wstring values;
  std::wistringstream head(echo.substr(0, echo.find(L"\r\n\r\n") + 2));  // each line ends in "\r"
  for (std::wstring line; std::getline(head, line);)
    if (line.size() > name.size() && line[name.size()] == L':' && !_wcsnicmp(line.c_str(), name.c_str(), name.size()))
      values += (values.empty() ? L"" : L"|") + line.substr(name.size() + 2, line.size() - name.size() - 3);
  return values;
}

// Adds header lines and form fields as a script passes them (by reference).
void Add(const Dispatch& request, const Pairs& headers, const Pairs& fields = {}) {
  for (const auto& [name, value] : headers)
    EXPECT_TRUE(request.Call(L"bAddHeader", {name, value}, true).value.Bool()) << name;
  for (const auto& [name, value] : fields)
    EXPECT_TRUE(request.Call(L"bAddFormPostVar", {name, value}, true).value.Bool()) << name;
}

// Starts a request by gbGet or gbPost, or by gbSend of any other method.
CallResult Start(const Dispatch& request, const std::wstring& how) {
  if (how == L"gbGet" || how == L"gbPost") return request.Call(how.c_str());
  return request.Call(L"gbSend", {how});
}

// A file of the given size whose bytes are never written (they read as zeros).
std::wstring SizedFile(const std::wstring& path, LONGLONG size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  LARGE_INTEGER end = {};
  end.QuadPart = size;
  EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file)) << GetLastError();
  CloseHandle(file);
  return path;
}

std::wstring Repeat(const std::wstring& piece, size_t times) {
  std::wstring text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Milliseconds that call() took.
ULONGLONG Millis(const std::function<void()>& call) {
  const ULONGLONG start = GetTickCount64();
  call();
  return GetTickCount64() - start;
}

// DllCanUnloadNow of the loaded library.
HRESULT CanUnloadNow() {
  auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"Korvanet.dll"), "DllCanUnloadNow")));
  return canUnload ? canUnload() : E_FAIL;
}

TEST_F(DataRequest, ASequentialGetRaisesDoneWithTheResultsInPlaceBeforeItReturns) {
  std::vector<long> doneSeenWith;
  done.onEvent = [&](DISPID, DISPPARAMS*) { doneSeenWith.push_back(Long(L"lResponseCode")); };
  EXPECT_TRUE(Get(Url(L"/echo")));
  EXPECT_EQ(doneSeenWith, std::vector<long>{200}) << "Done is raised before gbGet returns, after the results";
  EXPECT_EQ(Text(L"sResponsestatus"), L"OK");
  const std::wstring headers = Text(L"sHeaders");
  EXPECT_EQ(headers.rfind(L"HTTP/1.1 200 OK\r\n", 0), 0u) << headers;
  EXPECT_TRUE(Contains(headers, L"\r\nContent-Type: application/octet-stream")) << headers;
  EXPECT_NE(headers.substr(headers.size() - 2), L"\r\n");
}

TEST_F(DataRequest, TheServerReceivesTheMethodHeadersFieldsAndBodyTheClientSet) {
  const std::wstring to303 = Url(L"/redirect?code=303&to=/echo");
  // start: as Start() takes it; expected: header lines, several of a name joined with "|";
  // headers and fields: by bAddHeader and bAddFormPostVar.
  struct Case { const wchar_t *start, *requestLine, *body; Dispatch::Settings settings = {};
                Pairs expected = {}, headers = {}, fields = {}; } cases[] = {
      {L"gbGet", L"GET /echo?x=1&name=J%C3%BCrgen+M%26S HTTP/1.1", L"",
       {{L"sURL", Url(L"/echo?x=1")}, {L"sAccept", L"text/html"}},
       {{L"X-Trace", L"abc 123"}, {L"Accept", L"text/html"}, {L"Accept-Encoding", L"gzip, deflate"}},
       {{L"X-Trace", L"abc 123"}}, {{L"name", L"J\u00fcrgen M&S"}}},
      // sData goes as UTF-8; a type other than PUT makes it a POST.
      {L"gbPost", L"POST /echo HTTP/1.0", L"Gr\u00fc\u00dfe=1",
       {{L"sRequestType", L"put"}, {L"sData", L"Gr\u00fc\u00dfe=1"}, {L"sHTTPVersion", L"1.0"}},
       {{L"Content-Length", L"9"}, {L"Content-Type", L"application/x-www-form-urlencoded"}}},
      {L"gbPost", L"PUT /echo HTTP/1.1", L"{}",
       {{L"sRequestType", L"PUT"}, {L"sData", L"{}"}, {L"sHTTPVersion", L""}}, {{L"Content-Type", L"application/json"}},
       {{L"content-type", L"application/json"}}},
      {L"gbPost", L"POST /echo HTTP/1.1", L"a=1&b=x+y%26z%C3%A4", {},
       {{L"Content-Type", L"application/x-www-form-urlencoded"}}, {}, {{L"a", L"1"}, {L"b", L"x y&z\u00e4"}}},
      // The client's own headers replace the library's defaults whatever their
      // case (repeated names and the form's type: the engine's table).
      {L"gbPost", L"POST /echo HTTP/1.1", L"a=1", {{L"sAccept", L"text/plain"}},
       {{L"Accept-Encoding", L"identity"}, {L"User-Agent", L"MyClient/2.0"}, {L"Accept", L"text/plain"}},
       {{L"accept-encoding", L"identity"}, {L"User-Agent", L"MyClient/2.0"}}, {{L"a", L"1"}}},
      // gbSend: any method token, with the body and the redirect rules of gbPost.
      {L"DELETE", L"DELETE /echo HTTP/1.1", L""}, {L"OPTIONS", L"OPTIONS /echo HTTP/1.1", L""},
      {L"PATCH", L"PATCH /echo HTTP/1.1", L"{\"a\":1}", {{L"sData", L"{\"a\":1}"}}},
      {L"HEAD", L"HEAD /echo HTTP/1.1", L"", {{L"sData", L"dropped"}}},
      {L"X-Purge.v2", L"X-Purge.v2 /echo HTTP/1.1", L"p", {{L"sData", L"p"}}},
      // 303 becomes a GET without body (the other codes and verbs: the engine's table).
      {L"PATCH", L"GET /echo HTTP/1.1", L"", {{L"sURL", to303}, {L"sData", L"{}"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(c.start) + L" " + c.requestLine);
    // A HEAD's echo is the server's last one, which a test running beside
    // this one may have replaced: the row's own mark tells, and it is sent again.
    const std::wstring mark = std::to_wstring(&c - cases);
    Dispatch one;
    std::wstring echo;
    for (int attempt = 0; attempt < 5 && Header(echo, L"X-Row") != mark; ++attempt) {
      one = MakeRequest({{L"sURL", Url(L"/echo")}}).Set(c.settings);
      Add(one, c.headers, c.fields);
      one.Call(L"bAddHeader", {L"X-Row", mark}, true);
      EXPECT_TRUE(Start(one, c.start).value.Bool());
      echo = one.Get(L"sResponse").Text();
      if (echo.empty()) echo = Fetch({{L"sURL", Url(L"/lastecho")}});
    }
    // sRequestType: what gbGet and gbPost sent, the method gbSend was given.
    const bool send = c.start != std::wstring(L"gbGet") && c.start != std::wstring(L"gbPost");
    const std::wstring type = send ? std::wstring(c.start) : echo.substr(0, echo.find(L' '));
    EXPECT_EQ(one.Outcome(), Outcome(0, 200, type == L"HEAD" ? L"" : echo));
    EXPECT_EQ(echo.substr(0, echo.find(L"\r\n")), c.requestLine) << echo;
    for (const auto& [name, value] : c.expected) EXPECT_EQ(Header(echo, name), value) << name;
    EXPECT_EQ(echo.substr(echo.find(L"\r\n\r\n") + 4), c.body);
    EXPECT_EQ(one.Get(L"sRequestType").Text(), type);
    EXPECT_EQ(one.Get(L"lTimeoutBase").Long(), 30) << "the start stores the default";
    EXPECT_EQ(one.Get(L"lTimeoutperKB").Long(), c.start == std::wstring(L"gbGet") ? 0 : 10)
        << "GET leaves the per-KB timeout alone, the others take gbPost's";
  }
}

TEST_F(DataRequest, UploadsMakeAMultipartBodyAndARelativePathIsTakenFromTheFolderAtTheStart) {
  const std::filesystem::path before = std::filesystem::current_path();
  qmtest::ScratchFolder folder(L"korvanet"), later(L"kvul");
  qmtest::WriteBytes(folder / L"report.txt", "line one\r\nline two");
  qmtest::WriteBytes(later / L"report.txt", "LINE ONE\r\nLINE TWO");  // as long
  qmtest::WriteBytes(folder / L"data.bin", "\x01\xc3\xbf");
  ASSERT_TRUE(SetCurrentDirectoryW(folder.path().c_str()));
  req.Set({{L"sURL", Url(L"/echo")}, {L"bParallel", true}});
  Add(req, {}, {{L"a", L"1"}, {L"b", L"x y&z\u00e4"}});
  EXPECT_TRUE(req.Call(L"mAddFormUploadVar", {L"file", L"report.txt", L"text/plain"}, true).value.Bool());
  req.Call(L"mAddFormUploadVar", {L"blob", folder / L"data.bin"}, true);  // without a type
  req.Call(L"gbPost");
  SetCurrentDirectoryW(later.path().c_str());  // the client moves on before the file is read
  EXPECT_TRUE(PumpUntil([&] { return req.Get(L"mbDone").Bool(); }, 10000));
  std::filesystem::current_path(before);
  const std::wstring echo = Text(L"sResponse");
  const std::wstring type = Header(echo, L"Content-Type");
  ASSERT_EQ(type.rfind(L"multipart/form-data; boundary=", 0), 0u) << echo;
  const std::wstring part = L"--" + type.substr(30) + L"\r\nContent-Disposition: form-data; name=";
  const std::wstring expected =
      part + L"\"a\"\r\n\r\n1\r\n" + part + L"\"b\"\r\n\r\nx y&z\u00e4\r\n" + part +
      L"\"file\"; filename=\"report.txt\"\r\nContent-Type: text/plain\r\n\r\nline one\r\nline two\r\n" + part +
      L"\"blob\"; filename=\"data.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n\u0001\u00ff\r\n--" +
      type.substr(30) + L"--\r\n";
  EXPECT_EQ(echo.substr(echo.find(L"\r\n\r\n") + 4), expected) << echo;
}

TEST_F(DataRequest, CookiesAndConnectionsBelongToTheRequestObjectThatGotThem) {
  // One object logs in, then sends its cookie on its own later requests
  // over the connection it already has (the server answers /peer with the
  // client's port).
  ASSERT_TRUE(Get(Url(L"/login?user=alice")));
  ASSERT_TRUE(Get(Url(L"/peer")));
  const std::wstring port = Text(L"sResponse");
  ASSERT_FALSE(port.empty());
  ASSERT_TRUE(Get());
  EXPECT_EQ(Text(L"sResponse"), port);
  ASSERT_TRUE(Get(Url(L"/echo")));
  EXPECT_EQ(Header(Text(L"sResponse"), L"Cookie"), L"sid=alice");
  // A fresh object on the same thread, alone and in a job, starts with none.
  EXPECT_EQ(Header(Fetch({{L"sURL", Url(L"/echo")}}), L"Cookie"), L"");
  Dispatch inJob = MakeRequest({{L"sURL", Url(L"/echo")}, {L"sRequestType", L"GET"}});
  Dispatch job = Dispatch::Create(L"Korvanet.clsqmHTTPJob");
  job.Call(L"bAddRequest", {Var(inJob.get())}, true);
  ASSERT_TRUE(job.Call(L"bDoRequests").value.Bool());
  EXPECT_EQ(Header(inJob.Get(L"sResponse").Text(), L"Cookie"), L"");
}

TEST_F(DataRequest, AStartThatWouldLoseOrCorruptInputIsRefusedAndSendsNothing) {
  // Refused with the platform's error and its text, not dropped on the way:
  // nothing reaches the server (every URL here carries the mark "refused").
  qmtest::ScratchFolder folder(L"kvrf");
  qmtest::WriteBytes(folder / L"form.txt", "form");
  const std::wstring form = folder / L"form.txt";
  constexpr DWORD kInvalid = ERROR_INVALID_PARAMETER;
  // start: as Start() takes it; upload: a file by mAddFormUploadVar; formField: a=1 by bAddFormPostVar.
  struct Case { const wchar_t *what, *start; DWORD error; Dispatch::Settings settings = {};
                std::wstring upload = L""; bool formField = false; } cases[] = {
      {L"form fields beside a body of its own", L"gbPost", kInvalid, {{L"sData", L"body"}}, L"", true},
      {L"a file on a GET", L"gbGet", kInvalid, {}, form},
      {L"a file beside a body of its own", L"gbPost", kInvalid, {{L"sData", L"body"}}, form},
      {L"a file that is gone", L"gbPost", ERROR_FILE_NOT_FOUND, {}, folder / L"gone.txt"},
      // One byte beyond what a request can announce.
      {L"a file of 4 GiB", L"gbPost", ERROR_FILE_TOO_LARGE, {}, SizedFile(folder / L"huge.bin", 1LL << 32)},
      {L"credentials in the URL and others in sUser", L"gbGet", kInvalid,
       {{L"sURL", L"http://qm:%73ecret@" + Url(L"/basic?refused").substr(7)}, {L"sUser", L"qm"},
        {L"sPassword", L"secret"}}},
      {L"a line break in a setting that becomes a header line", L"gbGet", kInvalid,
       {{L"sAccept", L"text/html\r\nX-Evil: 1"}}},
      {L"an unknown authentication code", L"gbGet", kInvalid, {{L"sUser", L"qm"}, {L"nAuthmode", short{9}}}},
      {L"an unknown proxy type", L"gbGet", kInvalid, {{L"nProxyType", short{3}}}},
      {L"a scheme other than http", L"gbGet", ERROR_WINHTTP_UNRECOGNIZED_SCHEME,
       {{L"sURL", L"ftp://127.0.0.1/refused"}}},
      {L"no URL", L"gbGet", ERROR_WINHTTP_INVALID_URL, {{L"sURL", L""}}},
      // gbSend sends only a method token.
      {L"no method", L"", kInvalid}, {L"a header line", L"PATCH\r\nX-Evil: 1", kInvalid},
      {L"a separator", L"GET(1)", kInvalid}, {L"beyond ASCII", L"L\u00d6SCHEN", kInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // PUT: a type that gbPost keeps, and that gbSend's refusal leaves as it was.
    Dispatch one = MakeRequest({{L"sURL", Url(L"/echo?refused")}, {L"sRequestType", L"PUT"}}).Set(c.settings);
    EventSink oneDone{DIID___clsqmHTTPDataRequest, one.get()};
    if (c.formField) one.Call(L"bAddFormPostVar", {L"a", L"1"}, true);
    if (!c.upload.empty()) one.Call(L"mAddFormUploadVar", {L"file", c.upload}, true);
    EXPECT_FALSE(Start(one, c.start).value.Bool());
    EXPECT_EQ(one.Error(), ErrorOf(c.error));
    EXPECT_EQ(one.Get(L"sRequestType").Text(), c.start == std::wstring(L"gbGet") ? L"GET" : L"PUT");
    EXPECT_FALSE(one.Get(L"mbDone").Bool());
    EXPECT_TRUE(oneDone.events.empty());
  }
  EXPECT_EQ(Fetch({{L"sURL", Url(L"/seen?mark=refused")}}), L"0") << "requests reached the server";
}

TEST_F(DataRequest, NeitherAnUploadNorAnAnnouncedLengthIsHeldInMemoryWhole) {
  // How far the committed memory rose above its level at the parallel
  // start while the transfer ran.
  auto growth = [&](const wchar_t* start) {
    const size_t events = done.events.size();
    const SIZE_T before = CommittedBytes();
    SIZE_T peak = before;
    req.Call(start);
    EXPECT_TRUE(PumpUntil([&] {
      peak = std::max(peak, CommittedBytes());
      return done.events.size() > events;
    }, 60000));
    return peak - before;
  };
  ASSERT_GT(CommittedBytes(), 0u);
  // A server that announces 3 GB, or 60 MB (beneath the limit), sends ten
  // bytes and closes a second later: nothing is set aside for the
  // announcement meanwhile (60 MB or more; the first buffer, 4 MiB, and the
  // heap's own slack under load stay well below), and the cut-off body is no success.
  req.Put(L"bParallel", true);
  for (const wchar_t* announced : {L"3000000000", L"60000000"}) {
    SCOPED_TRACE(announced);
    req.Put(L"sURL", Url(std::wstring(L"/liar?hold=1000&announce=") + announced));
    EXPECT_LT(growth(L"gbGet"), SIZE_T{32} << 20);
    EXPECT_EQ(Long(L"lErrorcode"), ERROR_WINHTTP_CONNECTION_ERROR);
    EXPECT_EQ(Text(L"sResponse"), L"");
  }
  // An upload is streamed from its file.
  qmtest::ScratchFolder folder(L"korvanet-upload");
  constexpr long long kBytes = 160LL << 20;
  req.Put(L"sURL", Url(L"/sink"));
  req.Call(L"mAddFormUploadVar", {L"file", SizedFile(folder / L"big.bin", kBytes)}, true);
  EXPECT_LT(growth(L"gbPost"), SIZE_T{32} << 20) << "the file never sits in memory whole";
  EXPECT_EQ(Long(L"lErrorcode"), 0) << Text(L"sErrortext");
  const long long received = _wtoi64(Text(L"sResponse").c_str());
  EXPECT_GT(received, kBytes);
  EXPECT_LT(received, kBytes + 1000);
}

// body() on a thread of its own in an apartment of its own, as in a multi-threaded host.
void OnOwnThread(const std::function<void()>& body) {
  std::thread([&] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    body();
    CoUninitialize();
  }).join();
}

TEST(DataRequestThreads, AThreadsLastObjectLeavesTheNotificationWindowClassToTheOthers) {
  // In a multi-threaded host a thread whose last object went took the
  // window class with it while another thread was making its window of
  // that class, which then failed its start (1407). The class stays.
  OnOwnThread([] { EXPECT_NE(Dispatch::Create(L"Korvanet.clsqmHTTPDataRequest").get(), nullptr); });
  WNDCLASSW windowClass = {};
  EXPECT_TRUE(GetClassInfoW(GetModuleHandleW(L"Korvanet.dll"), L"KorvanetHttpNotify", &windowClass));
  OnOwnThread([] { EXPECT_EQ(Fetch({{L"sURL", Url(L"/text")}}), L"Gr\u00fc\u00dfe aus K\u00f6ln"); });
}

TEST(DataRequestThreads, AThreadThatEndsWithoutAnotherMessageLoopLeavesNoHandlesBehind) {
  // Its last object went while its request still ran: WinHTTP reports the
  // request's end when the thread no longer processes messages.
  auto requestOnItsOwnThread = [] {
    OnOwnThread([] { MakeRequest({{L"sURL", Url(L"/delay?ms=200")}, {L"bParallel", true}}).Call(L"gbGet"); });
  };
  // A new handle takes the lowest free slot, so the handles left open
  // show as the next new handle's value.
  auto nextHandle = [] {
    HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(probe);
    return reinterpret_cast<ULONG_PTR>(probe);
  };
  requestOnItsOwnThread();  // what a process sets up once
  const ULONG_PTR before = nextHandle();
  constexpr int kThreads = 12;
  for (int i = 0; i < kThreads; ++i) requestOnItsOwnThread();
  // The abandoned requests end when their server answers (200 ms later, more
  // on a loaded machine); leaked handles never come back.
  EXPECT_TRUE(qmtest::WaitUntil([&] { return nextHandle() < before + kThreads * 4; }, 5000, 100))
      << "handle values from " << before << " on stay in use";
}

TEST_F(DataRequest, AHeaderWithALineBreakIsRefusedWithTheSystemsMessageAndMsCStrNeverFails) {
  // (Its error number and source as a script sees them: the script client.)
  CallResult result = req.Call(L"bAddHeader", {L"X-Evil", L"a\r\nGET /other HTTP/1.1"}, true);
  EXPECT_EQ(result.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(result.description, ErrorText(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(req.Call(L"bAddHeader", {L"X-Evil\n", L"a"}, true).hr, DISP_E_EXCEPTION);
  // msCStr: the text form of any value, never an error.
  EXPECT_EQ(req.Call(L"msCStr", {Var(12L)}, true).value.Text(), L"12");
  EXPECT_EQ(req.Call(L"msCStr", {Var(true)}, true).value.Text(), L"True");
  EXPECT_TRUE(Get(Url(L"/echo")));
  EXPECT_FALSE(Contains(Text(L"sResponse"), L"X-Evil"));
}

TEST_F(DataRequest, TheResponseArrivesWholeAsDecodedTextAndNothingBeyondTheLimitsIsKept) {
  // (Charset labels: the engine's table; one row each end to end here.)
  const std::wstring text = L"Gr\u00fc\u00dfe aus K\u00f6ln";
  const std::wstring plain = Repeat(L"compressed Gr\u00fc\u00dfe ", 2000);
  std::wstring chunked;
  for (int i = 0; i < 5; ++i) chunked += Repeat(L"part" + std::to_wstring(i) + L";", 1000);
  // text: the bytes are dropped when a limit ended the transfer.
  struct Case { std::wstring url; long error, status; std::wstring text; } cases[] = {
      {Url(L"/text"), 0, 200, text},
      {Url(L"/charset?cs=windows-1252"), 0, 200, text},
      {Url(L"/charset"), 0, 200, text},
      {Url(L"/gzip"), 0, 200, plain},
      {Url(L"/deflate"), 0, 200, plain},
      {Url(L"/rawdeflate"), 0, 200, plain},
      // A Content-Length beside the chunked coding means nothing, smaller or larger.
      {Url(L"/chunked"), 0, 200, chunked},
      {Url(L"/chunked?length=100"), 0, 200, chunked},
      {Url(L"/chunked?length=100000"), 0, 200, chunked},
      // 256 KB of gzip that inflate to 256 MiB: ended at the decoded limit.
      {Url(L"/bomb?mib=256"), ERROR_FILE_TOO_LARGE, 200, L""},
      // The received bytes have their limit of 64 MiB as well.
      {Url(L"/large?bytes=67108864"), 0, 200, Repeat(L"0123456789", 6710887).substr(0, 67108864)},
      {Url(L"/large?bytes=67108865"), ERROR_FILE_TOO_LARGE, 200, L""},
      {Url(L"/", L"127.0.0.1", Ports().refused), ERROR_WINHTTP_CANNOT_CONNECT, 0, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const size_t events = done.events.size();
    EXPECT_TRUE(Get(c.url)) << "it completes, also with an error";
    EXPECT_EQ(done.events.size(), events + 1);
    EXPECT_EQ(req.Error(), ErrorOf(c.error));
    EXPECT_EQ(Long(L"lResponseCode"), c.status);
    const std::wstring response = Text(L"sResponse");
    EXPECT_EQ(response.size(), c.text.size());
    EXPECT_TRUE(response == c.text) << response.substr(0, 100);
  }
}

TEST_F(DataRequest, BasicAuthenticationWithTheUrlsOrTheClientsCredentials) {
  // One object, one step after the other: user information in the URL is
  // the user's credentials, then sUser's (the scheme by nAuthmode: the engine's table).
  const std::pair<Dispatch::Settings, long> steps[] = {
      {{{L"sURL", L"http://qm:%73ecret@" + Url(L"/basic").substr(7)}}, 200},
      {{{L"sURL", Url(L"/basic")}}, 401},
      {{{L"sUser", L"qm"}, {L"sPassword", L"secret"}, {L"nAuthmode", short{0}}}, 200},
      {{{L"sPassword", L"wrong"}}, 401},
  };
  for (const auto& [settings, status] : steps) {
    EXPECT_TRUE(req.Set(settings).Call(L"gbGet").value.Bool());
    EXPECT_EQ(req.Outcome(), Outcome(0, status, status == 200 ? L"welcome qm" : L"who are you"));
  }
  // Redirects are followed, but credentials stay with the origin of the URL:
  // localhost on the same port, and 127.0.0.1 on another, are other origins
  // (another scheme: the engine's table): their challenges are not answered with
  // sUser's credentials, and a client's Authorization, Cookie and Host do
  // not travel there. Its other headers do.
  const std::wstring here = Url(L"").substr(7);
  const std::wstring origins[] = {L"", Url(L"", L"localhost"), Url(L"", L"127.0.0.1", Ports().other)};
  for (const std::wstring& origin : origins) {
    SCOPED_TRACE(origin);
    const bool kept = origin.empty();
    Dispatch one = MakeRequest({{L"sURL", Url(L"/redirect?to=" + origin + L"/basic")}, {L"sUser", L"qm"},
                                {L"sPassword", L"secret"}});
    EXPECT_TRUE(one.Call(L"gbGet").value.Bool());
    EXPECT_EQ(one.Outcome(), kept ? Outcome(0, 200, L"welcome qm") : Outcome(0, 401, L"who are you"));

    Dispatch own = MakeRequest({{L"sURL", Url(L"/redirect?code=307&to=" + origin + L"/echo")}});
    Add(own, {{L"Authorization", L"Basic cW06c2VjcmV0"}, {L"cookie", L"session=1"}, {L"X-Keep", L"1"},
              {L"host", here}});
    EXPECT_TRUE(own.Call(L"gbGet").value.Bool());
    const std::wstring echo = own.Get(L"sResponse").Text();
    EXPECT_EQ(echo.rfind(L"GET /echo HTTP/1.1\r\n", 0), 0u) << echo;
    EXPECT_EQ(Header(echo, L"Authorization"), kept ? L"Basic cW06c2VjcmV0" : L"");
    EXPECT_EQ(Header(echo, L"Cookie"), kept ? L"session=1" : L"");
    EXPECT_EQ(Header(echo, L"X-Keep"), L"1");
    EXPECT_EQ(Header(echo, L"Host"), kept ? here : origin.substr(7));
  }
}

TEST_F(DataRequest, ADeadlineEndsTheWaitWithTimeoutAndTheLateCompletionStillArrives) {
  ASSERT_TRUE(Get(Url(L"/text")));
  done.events.clear();
  req.Set({{L"sURL", Url(L"/never")}, {L"lTimeoutBase", -18L}});  // 2 seconds
  ULONGLONG waited = Millis([&] { EXPECT_FALSE(Get()); });
  EXPECT_TRUE(waited >= 1900 && waited < 4000) << waited;
  EXPECT_EQ(Text(L"sErrortext"), L"Timeout");
  EXPECT_EQ(req.Outcome(), Outcome(0, 0, L""));
  EXPECT_EQ(Text(L"sHeaders"), L"") << "no response came, so no headers either";
  EXPECT_FALSE(req.Get(L"mbDone").Bool());
  // The engine's own timeout ends the transfer; its completion replaces "Timeout".
  EXPECT_TRUE(PumpUntil([&] { return !done.events.empty(); }, 10000));
  EXPECT_TRUE(req.Get(L"mbDone").Bool());
  const long code = Long(L"lErrorcode");
  EXPECT_TRUE(code == 10060 || code == 12002) << code;
  EXPECT_NE(Text(L"sErrortext"), L"Timeout");

  // A POST's deadline grows with its body, per 1000 characters and by
  // fractions of a second too: 1001 x 2500 / 1000 - 2520 + 20 = 2.5 seconds.
  req.Set({{L"lTimeoutBase", -2520L}, {L"lTimeoutperKB", 1001L}, {L"sData", std::wstring(2500, L'x')}});
  waited = Millis([&] { EXPECT_FALSE(req.Call(L"gbPost").value.Bool()); });
  EXPECT_TRUE(waited >= 2400 && waited < 4000) << waited;
  EXPECT_EQ(Text(L"sErrortext"), L"Timeout");
}

TEST_F(DataRequest, EveryTransferEndsShortlyAfterItsDeadlineHoweverTheServerStalls) {
  // A byte every half second keeps every engine timeout from firing; the
  // headers and then nothing is the other way to hang.
  for (const wchar_t* path : {L"/trickle?ms=500", L"/stall"}) {
    SCOPED_TRACE(path);
    Dispatch one = MakeRequest({{L"sURL", Url(path)}, {L"lTimeoutBase", -17L}});  // 3 seconds
    EventSink oneDone{DIID___clsqmHTTPDataRequest, one.get()};
    const ULONGLONG ended = Millis([&] {
      EXPECT_FALSE(one.Call(L"gbGet").value.Bool());
      EXPECT_EQ(one.Get(L"sErrortext").Text(), L"Timeout");
      EXPECT_EQ(one.Outcome(), Outcome(0, 200, L"")) << "the headers had arrived";
      EXPECT_TRUE(PumpUntil([&] { return !oneDone.events.empty(); }, 8000));
    });
    EXPECT_TRUE(ended >= 4500 && ended < 6500) << ended << " ms; 3 s and the grace of 2 s";
    EXPECT_EQ(one.Error(), ErrorOf(ERROR_WINHTTP_TIMEOUT));
  }
}

TEST_F(DataRequest, DoneHandlersThatStartAgainDropTheObjectOrDisconnectDoNotHoldUpOrSilenceTheGet) {
  req.Set({{L"sURL", Url(L"/text")}, {L"lTimeoutBase", -17L}});  // 3 seconds
  done.onEvent = [&](DISPID, DISPPARAMS*) {
    if (done.events.size() != 1) return;
    req.Set({{L"bParallel", true}, {L"sURL", Url(L"/delay?ms=1000")}});
    EXPECT_FALSE(Get());
  };
  EXPECT_LT(Millis([&] { EXPECT_TRUE(Get()) << "its own transfer completed and Done was raised"; }), 800u)
      << "no wait for the handler's transfer";
  EXPECT_EQ(done.events.size(), 1u);
  EXPECT_EQ(Text(L"sErrortext"), L"Timeout") << "the handler's parallel start owns the state";
  EXPECT_TRUE(PumpUntil([&] { return done.events.size() == 2; }, 5000));
  EXPECT_EQ(Text(L"sResponse"), L"delayed");

  // A handler that lets go of the last reference while the sequential wait
  // runs, as a script handler that sets its variable to Nothing does, having
  // disconnected itself and another sink: that one still hears this Done.
  req.Set({{L"bParallel", false}, {L"sURL", Url(L"/text")}});
  IDispatch* last = req.get();
  EventSink second{DIID___clsqmHTTPDataRequest, last};
  done.onEvent = [&](DISPID, DISPPARAMS*) {
    done.Disconnect();
    second.Disconnect();
    req = Dispatch();
  };
  DISPPARAMS none = {};
  Var result;
  EXPECT_EQ(last->Invoke(31 /*gbGet*/, IID_NULL, 0, DISPATCH_METHOD, &none, &result.v, nullptr, nullptr), S_OK);
  EXPECT_TRUE(result.Bool());
  EXPECT_EQ(done.events.size(), 3u);
  EXPECT_EQ(second.events.size(), 1u);
}

TEST_F(DataRequest, AStartFromAnotherHandlerDuringTheWaitEndsTheWaitOfTheReplacedStart) {
  Dispatch other = Dispatch::Create(L"Korvanet.clsqmHTTPDataRequest");
  EventSink otherDone{DIID___clsqmHTTPDataRequest, other.get()};
  otherDone.onEvent = [&](DISPID, DISPPARAMS*) {
    req.Set({{L"bParallel", true}, {L"sURL", Url(L"/delay?ms=1000")}});
    Get();
  };
  other.Set({{L"sURL", Url(L"/text")}, {L"bParallel", true}}).Call(L"gbGet");
  req.Set({{L"sURL", Url(L"/delay?ms=1500")}, {L"lTimeoutBase", -17L}});  // 3 seconds
  EXPECT_LT(Millis([&] { EXPECT_FALSE(Get()) << "its transfer was abandoned by the new start"; }), 800u);
  EXPECT_EQ(Text(L"sErrortext"), L"Timeout") << "as the new parallel start left it";
  PumpUntil([] { return false; }, 2000);
  EXPECT_EQ(done.events.size(), 1u) << "only the new start completes";
  EXPECT_EQ(Text(L"sErrortext"), L"");
}

TEST_F(DataRequest, ProxyCredentialsAnswerANamedProxyButNoOriginThatAnswers407) {
  // The target host differs from the proxy's string, so the proxy sees an absolute URI.
  req.Set({{L"sURL", Url(L"/echo", L"localhost")}, {L"sProxyname", L"127.0.0.1"},
           {L"nProxyPort", static_cast<short>(Ports().proxy)}, {L"nProxyType", short{2}}});
  EXPECT_TRUE(Get());
  EXPECT_EQ(Long(L"lResponseCode"), 407);
  req.Set({{L"sProxyUser", L"proxyuser"}, {L"sProxyPassword", L"proxypass"}});
  EXPECT_TRUE(Get());
  EXPECT_EQ(Long(L"lResponseCode"), 200);
  EXPECT_TRUE(Contains(Text(L"sHeaders"), L"\r\nX-Proxied: yes"));
  // Direct (1) and by the user's settings (0, a direct connection here) the
  // proxy is not used, and an origin that answers 407 never sees them.
  req.Put(L"sProxyname", L"");
  for (short type : {1, 0}) {
    req.Put(L"nProxyType", type);
    EXPECT_TRUE(Get(Url(L"/proxyauth")));
    EXPECT_EQ(req.Outcome(), Outcome(0, 407, L"no proxy here")) << type;
    EXPECT_FALSE(Contains(Text(L"sHeaders"), L"X-Proxied")) << type;
  }
}

TEST_F(DataRequest, TimeoutArithmeticThatOverflowsRaisesAnErrorAndSendsNothing) {
  req.Set({{L"sURL", Url(L"/echo")}, {L"lTimeoutBase", 2147483647L}});
  CallResult result = req.Call(L"gbGet");
  EXPECT_EQ(result.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(result.number, DISP_E_OVERFLOW);
  req.Set({{L"lTimeoutBase", 0L}, {L"lTimeoutperKB", 2000000L}, {L"sData", std::wstring(2000, L'x')}});
  EXPECT_EQ(req.Call(L"gbPost").number, DISP_E_OVERFLOW);
  EXPECT_TRUE(done.events.empty());
}

TEST_F(DataRequest, TheLibraryDescribesItselfAndStaysLoadedWhileObjectsLive) {
  {  // the interfaces asked for here are released before the unloading is checked
    ComPtr<IProvideClassInfo2> info;
    ASSERT_EQ(req.get()->QueryInterface(IID_PPV_ARGS(info.GetAddressOf())), S_OK);
    GUID events = {};
    EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
    EXPECT_TRUE(IsEqualGUID(events, DIID___clsqmHTTPDataRequest));
    // Hosts that look for events by enumeration find the one connection point.
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(req.get()->QueryInterface(IID_PPV_ARGS(container.GetAddressOf())), S_OK);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.GetAddressOf()), S_OK);
    ComPtr<IConnectionPoint> point, another;
    ASSERT_EQ(points->Next(1, point.GetAddressOf(), nullptr), S_OK);
    EXPECT_EQ(points->Next(1, another.GetAddressOf(), nullptr), S_FALSE);
    IID pointIid = {};
    point->GetConnectionInterface(&pointIid);
    EXPECT_TRUE(IsEqualGUID(pointIid, DIID___clsqmHTTPDataRequest));
  }
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  req.Set({{L"sURL", Url(L"/delay?ms=300")}, {L"bParallel", true}});
  Get();
  done.Disconnect();
  req = Dispatch();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "an abandoned transfer is still in flight";
  EXPECT_TRUE(PumpUntil([&] { return CanUnloadNow() == S_OK; }, 5000));
}

// Binary bodies and downloads as a client sees them: vResponseBody as a
// byte array and sResponseFile with its part file, through late binding (as
// VBA and scripts call) and through the new interface's vtable (compiled
// clients), alone and in a job.

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
  for (int i = 0; i < 5000; ++i) whole += "part" + std::to_string(i / 1000) + ";";
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

// clsqmHTTPJob as a client sees it: batches against the loopback server, the
// Progress event through a connection point, and the request collection.

class Job : public ApartmentFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ApartmentFixture::SetUp());
    job = Dispatch::Create(L"Korvanet.clsqmHTTPJob");
    ASSERT_NE(job.get(), nullptr) << "Korvanet.clsqmHTTPJob not registered";
    progressSink.onEvent = [this](DISPID, DISPPARAMS* params) {
      ASSERT_EQ(params->cArgs, 1u);
      ASSERT_EQ(V_VT(&params->rgvarg[0]), VT_I4 | VT_BYREF);
      progress.push_back(*V_I4REF(&params->rgvarg[0]));
    };
    ASSERT_TRUE(progressSink.Connect(job.get()));
  }
  Dispatch NewRequest(const std::wstring& path, const wchar_t* type = L"GET") {
    return MakeRequest({{L"sURL", Url(path)}, {L"sRequestType", type}});
  }
  // bAddRequest of each; true when it answered True for all.
  bool Add(const std::vector<Dispatch>& requests) {
    bool added = true;
    for (const Dispatch& req : requests) added = job.Call(L"bAddRequest", {Var(req.get())}, true).value.Bool() && added;
    return added;
  }
  bool Run() { return job.Call(L"bDoRequests").value.Bool(); }

  Dispatch job;
  EventSink progressSink{DIID___clsqmHTTPJob};
  std::vector<long> progress;
};

TEST_F(Job, ProgressCountsEveryEndedRequestOnceAndAFailedOneKeepsItsOwnError) {
  // A request that fails has ended as well: it is counted, the job is done,
  // and the failure is that request's own, not its neighbours'. A request
  // object that stands in the collection twice is started and counted once.
  Dispatch refused = MakeRequest({{L"sURL", Url(L"/", L"127.0.0.1", Ports().refused)}, {L"sRequestType", L"GET"}});
  Dispatch twice = NewRequest(L"/delay?ms=100");
  EventSink done{DIID___clsqmHTTPDataRequest, twice.get()};
  const std::initializer_list<Dispatch> requests{twice, refused, NewRequest(L"/delay?ms=400"),
                                                 NewRequest(L"/delay?ms=700")};
  EXPECT_TRUE(Add(requests)) << "bAddRequest reports True";
  Add({twice});
  EXPECT_EQ(Dispatch(job.Get(L"gcolRequests").Object()).Call(L"Count").value.Long(), 5);
  EXPECT_TRUE(Run()) << "every distinct request completed";
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 4);
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_GT(progress[i], progress[i - 1]);
  for (const Dispatch& req : requests) {
    const bool failed = req.get() == refused.get();
    EXPECT_EQ(req.Outcome(), failed ? Outcome(12029, 0, L"") : Outcome(0, 200, L"delayed"));
    EXPECT_TRUE(req.Get(L"mbDone").Bool() && req.Get(L"bParallel").Bool() && req.Get(L"bTmp").Bool());
  }
  PumpUntil([] { return false; }, 400);
  EXPECT_EQ(done.events.size(), 1u) << "started once";
}

// The job starts a request of each method by name (or as gbSend chose it in
// parallel mode before the run); one whose type it does not start (exactly
// "GET", "POST" or "PUT" are the names) makes it give up after 30 seconds.
TEST_F(Job, EachMethodRunsByNameOrAsGbSendChoseItAndAnUnstartedTypeEndsTheWaitAfterThirtySeconds) {
  // echoed: the request line that came back, "" for HEAD, null: never started.
  struct Case { const wchar_t* type; bool bySend; const wchar_t* echoed; } cases[] = {
      {L"GET", false, L"GET /echo HTTP/1.1"}, {L"get", false, nullptr}, {L"POST", false, L"POST /echo HTTP/1.1"},
      {L"DELETE", false, L"DELETE /echo HTTP/1.1"}, {L"PATCH", false, L"PATCH /echo HTTP/1.1"},
      {L"HEAD", false, L""}, {L"PURGE", true, L"PURGE /echo HTTP/1.1"},
  };
  std::vector<Dispatch> requests;
  for (const Case& c : cases) {
    requests.push_back(NewRequest(L"/echo", c.type).Set({{L"sErrortext", L"untouched"}}));
    if (c.bySend) requests.back().Set({{L"bParallel", true}}).Call(L"gbSend", {c.type});
    Add({requests.back()});
  }
  const ULONGLONG waited = Millis([&] { EXPECT_FALSE(Run()); });
  EXPECT_TRUE(waited >= 29500 && waited < 40000) << waited;
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 6);
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(cases[i].type);
    const Dispatch& r = requests[i];
    EXPECT_EQ(r.Get(L"mbDone").Bool(), cases[i].echoed != nullptr);
    // A completed one: its status and the request line that came back; the others are untouched.
    const std::wstring echo = r.Get(L"sResponse").Text(), line = echo.substr(0, echo.find(L"\r\n"));
    const std::wstring status = std::to_wstring(r.Get(L"lResponseCode").Long());
    EXPECT_EQ(cases[i].echoed ? status + L" " + line : r.Get(L"sErrortext").Text(),
              cases[i].echoed ? L"200 " + std::wstring(cases[i].echoed) : L"untouched");
  }

}

TEST_F(Job, RequestsWaitUnstartedWhileTheirHostHasNoConnectionLeft) {
  EXPECT_EQ(job.Get(L"lMaxConnectionsPerHost").Long(), 100) << "the default";
  CallResult refused = job.Invoke(L"lMaxConnectionsPerHost", DISPATCH_PROPERTYPUT, {Var(0L)}, false);
  EXPECT_EQ(refused.number, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(job.Get(L"lMaxConnectionsPerHost").Long(), 100);
  auto most = [] { return Fetch({{L"sURL", Url(L"/mostdelayed?gauge=limit")}}); };
  // limit 0: the default, where all 16 wait at once (long enough for the last to start on a loaded machine)
  const struct { long limit; const wchar_t* most; const wchar_t* url; } cases[] = {
      {0, L"16", L"/delay?gauge=limit&ms=2000"}, {2, L"2", L"/delay?gauge=limit&ms=300"},
      {1, L"1", L"/delay?gauge=limit&ms=300"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    job = Dispatch::Create(L"Korvanet.clsqmHTTPJob");
    if (c.limit) job.Put(L"lMaxConnectionsPerHost", c.limit);
    std::vector<Dispatch> requests;
    for (int i = 0; i < 16; ++i) requests.push_back(NewRequest(c.url));
    Add(requests);
    most();
    EXPECT_TRUE(Run());
    EXPECT_EQ(most(), c.most);
    for (const Dispatch& request : requests) EXPECT_EQ(request.Get(L"lResponseCode").Long(), 200);
  }
}

TEST_F(Job, AJobRunTwiceWaitsForTheNewResponses) {
  EXPECT_TRUE(Run()) << "an empty job";
  EXPECT_TRUE(progress.empty());
  Dispatch req = NewRequest(L"/echo");
  req.Call(L"bAddHeader", {L"X-Run", L"one"}, true);
  // A request with its own Accept-Encoding completes without holding up the batch.
  req.Call(L"bAddHeader", {L"Accept-Encoding", L"identity"}, true);
  Add({req});
  EXPECT_LT(Millis([&] { EXPECT_TRUE(Run()); }), 5000u);
  const std::wstring echo = req.Get(L"sResponse").Text();
  EXPECT_TRUE(Contains(echo, L"X-Run: one") && Contains(echo, L"\r\nAccept-Encoding: identity\r\n")) << echo;
  req.Put(L"sURL", Url(L"/delay?ms=300"));
  progress.clear();
  EXPECT_TRUE(Run());
  EXPECT_EQ(req.Get(L"sResponse").Text(), L"delayed") << "the second run's response, not the first";
  EXPECT_EQ(progress, std::vector<long>{1});
}

// The wait looks at the collection as it stands on each pass: a request
// the client removed before the run is not started, one a handler removes
// is no longer waited for, and the result speaks of the collection at the end.
TEST_F(Job, TheRunFollowsTheCollectionAsTheClientAndHandlersChangeIt) {
  Dispatch a = NewRequest(L"/text"), removed = NewRequest(L"/text"), quick = NewRequest(L"/text");
  Dispatch stuck = NewRequest(L"/never");
  removed.Put(L"sErrortext", L"untouched");
  Add({a, removed, quick, stuck});
  Dispatch collection(job.Get(L"gcolRequests").Object());
  EXPECT_EQ(collection.Call(L"Remove", {Var(2L)}).hr, S_OK);
  progressSink.onEvent = [&](DISPID, DISPPARAMS* params) {
    progress.push_back(*V_I4REF(&params->rgvarg[0]));
    if (collection.Call(L"Count").value.Long() == 3) collection.Call(L"Remove", {Var(3L)});
  };
  EXPECT_LT(Millis([&] { EXPECT_TRUE(Run()) << "every request still in the collection completed"; }), 10000u)
      << "the removed request is not waited for";
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 2);
  EXPECT_EQ(removed.Get(L"sErrortext").Text(), L"untouched");
  EXPECT_TRUE(quick.Get(L"mbDone").Bool());
  EXPECT_FALSE(stuck.Get(L"mbDone").Bool());
}

TEST_F(Job, AnItemThatIsNoRequestEndsTheRunAfterTheRequestsBeforeItStarted) {
  EXPECT_EQ(job.Call(L"bAddRequest", {Var(L"not a request")}, true).hr, DISP_E_TYPEMISMATCH) << "bAddRequest refuses it";
  Dispatch first = NewRequest(L"/text"), second = NewRequest(L"/echo"), after = NewRequest(L"/text");
  Add({first, second});
  Dispatch collection(job.Get(L"gcolRequests").Object());
  collection.Call(L"Add", {Var(L"not a request")}, true);
  Add({after});
  CallResult run = job.Call(L"bDoRequests");
  EXPECT_EQ(run.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(run.number, DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(PumpUntil([&] { return first.Get(L"mbDone").Bool() && second.Get(L"mbDone").Bool(); }, 5000))
      << "the requests before the item were started";
  EXPECT_FALSE(after.Get(L"bParallel").Bool()) << "the one after it was not";
}

TEST_F(Job, AProgressHandlerCanNeitherRunTheJobAgainNorChangeTheCountThroughItsArgument) {
  Dispatch a = NewRequest(L"/delay?ms=100"), b = NewRequest(L"/delay?ms=600");
  EventSink aDone{DIID___clsqmHTTPDataRequest, a.get()};
  Add({a, b});
  CallResult nested;
  progressSink.onEvent = [&](DISPID, DISPPARAMS* params) {
    progress.push_back(*V_I4REF(&params->rgvarg[0]));
    *V_I4REF(&params->rgvarg[0]) = 100;
    if (progress.size() == 1) nested = job.Call(L"bDoRequests");
  };
  EXPECT_TRUE(Run()) << "the run goes on";
  EXPECT_EQ(nested.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(nested.number, HRESULT_FROM_WIN32(ERROR_BUSY));
  EXPECT_EQ(nested.source, L"Korvanet.clsqmHTTPJob");
  EXPECT_EQ(progress.back(), 2);
  EXPECT_EQ(progress.front(), progress.size() == 1 ? 2 : 1);
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(aDone.events.size(), 1u) << "nothing was started again";
}

TEST_F(Job, ClientsCompiledAgainstTheFirstVersionUseTheInterfacesDirectly) {
  ComPtr<_clsqmHTTPJob1> typed;
  ASSERT_EQ(job.get()->QueryInterface(IID_PPV_ARGS(&typed)), S_OK);
  Dispatch late = NewRequest(L"/text");
  // The first version's interface, which such a client asks for and passes
  // to bAddRequest (declared with that interface then).
  ComPtr<_clsqmHTTPDataRequest1> req;
  ASSERT_EQ(late.get()->QueryInterface(IID_PPV_ARGS(&req)), S_OK);
  auto* passed = reinterpret_cast<_clsqmHTTPDataRequest*>(req.Get());
  VARIANT_BOOL added = VARIANT_FALSE;
  EXPECT_EQ(typed->bAddRequest(&passed, &added), S_OK);
  EXPECT_EQ(added, VARIANT_TRUE);
  EXPECT_EQ(static_cast<void*>(passed), static_cast<void*>(req.Get())) << "the caller's reference is left as it was";
  // (bDoRequests through the vtable: every late-bound run reaches it there.)
  EXPECT_TRUE(Run());
  EXPECT_TRUE(late.Get(L"mbDone").Bool());
}

TEST_F(Job, TheCollectionBehavesLikeTheStandardOne) {
  // (Its default member, For Each and a duplicate key: the script client.)
  Dispatch col(job.Get(L"gcolRequests").Object());
  ASSERT_NE(col.get(), nullptr);
  EXPECT_EQ(col.Call(L"Add", {Var(L"b"), Var(L"KeyB")}, true).hr, S_OK);
  EXPECT_EQ(col.Call(L"Add", {Var(L"a"), Var(L"KeyA"), Var(1L)}, true).hr, S_OK);  // Before 1
  Var none;  // a missing optional argument
  V_VT(&none.v) = VT_ERROR;
  V_ERROR(&none.v) = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(col.Call(L"Add", {Var(L"c"), none, none, Var(L"keyb")}, true).hr, S_OK);  // After "KeyB"
  EXPECT_EQ(col.Call(L"Count").value.Long(), 3);
  EXPECT_EQ(col.Call(L"Item", {Var(1L)}).value.Text(), L"a");
  EXPECT_EQ(col.Call(L"Item", {Var(3L)}).value.Text(), L"c");
  EXPECT_EQ(col.Call(L"Item", {Var(4L)}).number, MAKE_HRESULT(1, FACILITY_CONTROL, 9));
  EXPECT_EQ(col.Call(L"Item", {Var(L"nokey")}).number, MAKE_HRESULT(1, FACILITY_CONTROL, 5));

  EXPECT_EQ(col.Call(L"Remove", {Var(L"KeyA")}, true).hr, S_OK);
  EXPECT_EQ(col.Call(L"Count").value.Long(), 2);
  EXPECT_EQ(col.Call(L"Item", {Var(1L)}).value.Text(), L"b");
}

}  // namespace

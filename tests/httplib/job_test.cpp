// clsqmHTTPJob as a client sees it: batches against the loopback server, the
// Progress event through a connection point, and the request collection.
#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"

using namespace korvanettest;

namespace {

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
  void TearDown() override {
    progressSink.Disconnect();
    job = Dispatch();
    ApartmentFixture::TearDown();
  }
  Dispatch NewRequest(const std::wstring& path, const wchar_t* type = L"GET") {
    return MakeRequest({{L"sURL", Url(path)}, {L"sRequestType", type}});
  }
  // bAddRequest of each; true when it answered True for all.
  bool Add(std::initializer_list<Dispatch> requests) {
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
  EventSink done{DIID___clsqmHTTPDataRequest};
  ASSERT_TRUE(done.Connect(twice.get()));
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
    requests.push_back(NewRequest(L"/echo", c.type));
    requests.back().Put(L"sErrortext", L"untouched");
    if (c.bySend) {
      requests.back().Put(L"bParallel", true);
      requests.back().Call(L"gbSend", {c.type});
    }
    Add({requests.back()});
  }
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(Run());
  const ULONGLONG waited = GetTickCount64() - start;
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
  auto most = [] { return Fetch({{L"sURL", Url(L"/mostdelayed")}}); };
  // limit 0: the default
  const struct { long limit; const wchar_t* most; } cases[] = {{0, L"16"}, {2, L"2"}, {1, L"1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    Dispatch batch = Dispatch::Create(L"Korvanet.clsqmHTTPJob");
    if (c.limit) batch.Put(L"lMaxConnectionsPerHost", c.limit);
    std::vector<Dispatch> requests;
    for (int i = 0; i < 16; ++i) {
      requests.push_back(NewRequest(L"/delay?ms=300"));
      batch.Call(L"bAddRequest", {Var(requests.back().get())}, true);
    }
    most();
    EXPECT_TRUE(batch.Call(L"bDoRequests").value.Bool());
    EXPECT_EQ(most(), c.most);
    for (const Dispatch& request : requests) EXPECT_EQ(request.Get(L"lResponseCode").Long(), 200);
  }
  CallResult refused = job.Invoke(L"lMaxConnectionsPerHost", DISPATCH_PROPERTYPUT, {Var(0L)}, false);
  EXPECT_EQ(refused.number, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(job.Get(L"lMaxConnectionsPerHost").Long(), 100);
}

TEST_F(Job, AJobRunTwiceWaitsForTheNewResponses) {
  EXPECT_TRUE(Run()) << "an empty job";
  EXPECT_TRUE(progress.empty());
  Dispatch req = NewRequest(L"/echo");
  req.Call(L"bAddHeader", {L"X-Run", L"one"}, true);
  // A request with its own Accept-Encoding completes without holding up the batch.
  req.Call(L"bAddHeader", {L"Accept-Encoding", L"identity"}, true);
  Add({req});
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(Run());
  EXPECT_LT(GetTickCount64() - start, 5000u);
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
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(Run()) << "every request still in the collection completed";
  EXPECT_LT(GetTickCount64() - start, 10000u) << "the removed request is not waited for";
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
  EventSink aDone{DIID___clsqmHTTPDataRequest};
  ASSERT_TRUE(aDone.Connect(a.get()));
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
  VARIANT_BOOL ran = VARIANT_FALSE;
  EXPECT_EQ(typed->bDoRequests(&ran), S_OK);
  EXPECT_EQ(ran, VARIANT_TRUE);
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

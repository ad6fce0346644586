// The fixture of the tests that drive one Korvanet.clsqmHTTPDataRequest as a
// script client does: created by its ProgID on a single-threaded apartment,
// called late-bound, its Done events recorded. Include after Korvanet_h.h.
#pragma once

#include <gtest/gtest.h>

#include "korvanetTestSupport.h"

namespace korvanettest {

// A single-threaded apartment, with the loopback servers running. It ends
// after the objects and sinks of the fixtures built on it are gone (members
// go before a base's destructor runs), so those need no TearDown of their own.
class ApartmentFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_NE(Ports().http, 0) << "loopback servers not running";
  }
  ~ApartmentFixture() override { CoUninitialize(); }
};

class RequestFixture : public ApartmentFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ApartmentFixture::SetUp());
    req = Dispatch::Create(L"Korvanet.clsqmHTTPDataRequest");
    ASSERT_NE(req.get(), nullptr) << "Korvanet.clsqmHTTPDataRequest not registered";
    ASSERT_TRUE(done.Connect(req.get()));
  }
  bool Get() { return req.Call(L"gbGet").value.Bool(); }
  bool Get(const std::wstring& url) {
    req.Put(L"sURL", url);
    return Get();
  }
  std::wstring Text(const wchar_t* name) { return req.Get(name).Text(); }
  long Long(const wchar_t* name) { return req.Get(name).Long(); }

  Dispatch req;
  EventSink done{DIID___clsqmHTTPDataRequest};
};

}  // namespace korvanettest

// Requests under the proxy configuration of the machine's user, which a
// client does not choose. Each test changes it for the whole prefix and puts
// it back, so these run alone (RUN_SERIAL).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "korvanetTestSupport.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr DWORD kDirect = 1, kFixedProxy = 2, kScript = 4;

// The user's connection settings as the Internet options store them: a
// version, a counter and the flags, then the proxy list, the bypass list
// and the script's address, each as its length and its characters.
void WriteUserConnection(DWORD flags, const std::string& proxy = "", const std::string& bypass = "",
                         const std::string& script = "") {
  std::string blob;
  auto add = [&blob](DWORD value) { blob.append(reinterpret_cast<const char*>(&value), sizeof(value)); };
  add(0x46);
  add(0);
  add(flags);
  for (const std::string* text : {&proxy, &bypass, &script}) {
    add(static_cast<DWORD>(text->size()));
    blob += *text;
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}


class MachineSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_NE(Ports().http, 0) << "loopback servers not running";
  }
  void TearDown() override {
    // The prefix's own setting: direct, as scripts/direct-connection.reg has it.
    WriteUserConnection(kDirect);
    CoUninitialize();
  }
  // A GET of url with default proxy settings and the test proxy's
  // credentials (which only the proxy asks for); returns the request.
  Dispatch Fetch(const std::wstring& url, bool proxyCredentials = true) {
    Dispatch req = MakeRequest({{L"sURL", url}});
    EXPECT_NE(req.get(), nullptr);
    if (!req.get()) return req;
    if (proxyCredentials) req.Set({{L"sProxyUser", L"proxyuser"}, {L"sProxyPassword", L"proxypass"}});
    EXPECT_TRUE(req.Call(L"gbGet").value.Bool()) << req.Get(L"sErrortext").Text();
    return req;
  }
  static bool Proxied(const Dispatch& req) { return Contains(req.Get(L"sHeaders").Text(), L"X-Proxied: yes"); }
  std::wstring ProxyAddress() const { return L"127.0.0.1:" + std::to_wstring(Ports().proxy); }
};

TEST_F(MachineSettings, TheDefaultProxyTypeTakesTheUsersFixedProxyAndItsBypassList) {
  const std::string proxy = "127.0.0.1:" + std::to_string(Ports().proxy);
  WriteUserConnection(kDirect | kFixedProxy, proxy);
  Dispatch req = Fetch(Url(L"/echo", L"localhost"));
  EXPECT_EQ(req.Get(L"lResponseCode").Long(), 200);
  EXPECT_TRUE(Proxied(req)) << req.Get(L"sHeaders").Text();
  EXPECT_TRUE(Contains(req.Get(L"sResponse").Text(), L"\r\nVia: 1.1 korvanet-test-proxy\r\n"));

  // The proxy's own answer when its credentials are missing shows the way
  // went through it, and the user's password for the server was not offered to it.
  Dispatch bare = Fetch(Url(L"/echo", L"localhost"), false);
  EXPECT_EQ(bare.Get(L"lResponseCode").Long(), 407);

  // Direct when the client says so, and for a host of the bypass list.
  Dispatch direct = MakeRequest({{L"sURL", Url(L"/echo", L"localhost")}, {L"nProxyType", short{1}}});
  EXPECT_TRUE(direct.Call(L"gbGet").value.Bool());
  EXPECT_EQ(direct.Get(L"lResponseCode").Long(), 200);
  EXPECT_FALSE(Proxied(direct));

  WriteUserConnection(kDirect | kFixedProxy, proxy, "localhost");
  Dispatch bypassed = Fetch(Url(L"/echo", L"localhost"));
  EXPECT_EQ(bypassed.Get(L"lResponseCode").Long(), 200);
  EXPECT_FALSE(Proxied(bypassed));

  // A user without a proxy: the machine's setting, direct in this prefix.
  WriteUserConnection(kDirect);
  Dispatch none = Fetch(Url(L"/echo", L"localhost"));
  EXPECT_EQ(none.Get(L"lResponseCode").Long(), 200);
  EXPECT_FALSE(Proxied(none));
}

TEST_F(MachineSettings, TheUsersConfigurationScriptChoosesTheProxyForEachHost) {
  const std::string script = "http://127.0.0.1:" + std::to_string(Ports().http) +
                             "/proxy.pac?proxy=" + std::to_string(Ports().proxy);
  WriteUserConnection(kDirect | kScript, "", "", script);
  Dispatch viaProxy = Fetch(Url(L"/echo", L"localhost"));
  EXPECT_EQ(viaProxy.Get(L"lResponseCode").Long(), 200);
  EXPECT_TRUE(Proxied(viaProxy)) << viaProxy.Get(L"sHeaders").Text();
  Dispatch direct = Fetch(Url(L"/echo"));
  EXPECT_EQ(direct.Get(L"lResponseCode").Long(), 200);
  EXPECT_FALSE(Proxied(direct));
}

TEST_F(MachineSettings, AScriptsKeptAnswerGivesWayToNewSettings) {
  // The answer for a host is kept for a while (a batch pays the lookup once
  // per host), but never past a change of the user's settings.
  const std::string script = "http://127.0.0.1:" + std::to_string(Ports().http) +
                             "/proxy.pac?proxy=" + std::to_string(Ports().proxy);
  WriteUserConnection(kDirect | kScript, "", "", script);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Proxied(Fetch(Url(L"/echo", L"localhost"))));
  WriteUserConnection(kDirect | kScript, "", "", script + "&direct=1");
  EXPECT_FALSE(Proxied(Fetch(Url(L"/echo", L"localhost"))));
  WriteUserConnection(kDirect | kScript, "", "", script);
  EXPECT_TRUE(Proxied(Fetch(Url(L"/echo", L"localhost"))));
}

}  // namespace

// Requests under the proxy configuration of the machine's user, which a
// client does not choose. Each test changes it for the whole prefix and puts
// it back, so these run alone (RUN_SERIAL).
#include <gtest/gtest.h>

#include <windows.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"
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
  for (DWORD value : {DWORD{0x46}, DWORD{0}, flags}) add(value);
  for (const std::string* text : {&proxy, &bypass, &script}) {
    add(static_cast<DWORD>(text->size()));
    blob += *text;
  }
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", REG_BINARY, blob.data(),
                            static_cast<DWORD>(blob.size())),
            ERROR_SUCCESS);
}

class MachineSettings : public ApartmentFixture {
 protected:
  void TearDown() override {
    // The prefix's own setting: direct, as scripts/direct-connection.reg has it.
    WriteUserConnection(kDirect);
    ApartmentFixture::TearDown();
  }
  // A GET of /echo on localhost with the default proxy type, the test
  // proxy's credentials (which only the proxy asks for) and more: its
  // status, and "via proxy" when the test proxy forwarded it.
  static std::wstring Route(const Dispatch::Settings& more = {}) {
    Dispatch req = MakeRequest({{L"sURL", Url(L"/echo", L"localhost")}, {L"sProxyUser", L"proxyuser"},
                                {L"sProxyPassword", L"proxypass"}}).Set(more);
    EXPECT_TRUE(req.Call(L"gbGet").value.Bool()) << req.Get(L"sErrortext").Text();
    const bool proxied = Contains(req.Get(L"sHeaders").Text(), L"X-Proxied: yes");
    return std::to_wstring(req.Get(L"lResponseCode").Long()) + (proxied ? L" via proxy" : L"");
  }
};

TEST_F(MachineSettings, TheDefaultProxyTypeTakesTheUsersFixedProxyAndItsBypassList) {
  const std::string proxy = "127.0.0.1:" + std::to_string(Ports().proxy);
  WriteUserConnection(kDirect | kFixedProxy, proxy);
  EXPECT_EQ(Route(), L"200 via proxy");
  // The proxy's own answer when its credentials are missing: the way went
  // through it (the origin never asks for them).
  EXPECT_EQ(Route({{L"sProxyUser", L""}, {L"sProxyPassword", L""}}), L"407");
  EXPECT_EQ(Route({{L"nProxyType", short{1}}}), L"200") << "direct when the client says so";
  WriteUserConnection(kDirect | kFixedProxy, proxy, "localhost");
  EXPECT_EQ(Route(), L"200") << "a host of the bypass list";
  WriteUserConnection(kDirect);
  EXPECT_EQ(Route(), L"200") << "a user without a proxy: the machine's setting, direct in this prefix";
}

TEST_F(MachineSettings, TheUsersConfigurationScriptChoosesTheProxyForEachHostAnewAfterAChange) {
  // The script sends localhost through the proxy and the rest direct. Its
  // answer for a host is kept for a while (a batch pays the lookup once per
  // host), but never past a change of the user's settings.
  const std::string script = "http://127.0.0.1:" + std::to_string(Ports().http) +
                             "/proxy.pac?proxy=" + std::to_string(Ports().proxy);
  WriteUserConnection(kDirect | kScript, "", "", script);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Route(), L"200 via proxy");
  EXPECT_EQ(Route({{L"sURL", Url(L"/echo")}}), L"200");
  WriteUserConnection(kDirect | kScript, "", "", script + "&direct=1");
  EXPECT_EQ(Route(), L"200");
}

}  // namespace

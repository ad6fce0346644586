// What every request in the prefix shares, changed or counted by these
// tests, which therefore run alone (RUN_SERIAL): the user's proxy
// configuration, the certificate stores and the test proxy's tunnels.
//
// Pinned server certificates and client certificates, against the loopback
// TLS origins, whose self-signed certificate the machine does not trust.
// The origins record every request line they read (/seen), so "nothing was
// sent" is what the server saw, not what the library says.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

constexpr long kPinError = 0x20000001;
constexpr long kClientCertificateError = 0x20000002;

// The DER bytes of the TLS origins' certificate, which the fixture wrote.
std::string ServerCertificate() {
  const std::string pem = qmtest::ReadBytes(qmtest::ProgramFolder() + L"\\httplib-servers.txt.crt");
  std::string der(pem.size(), '\0');
  DWORD size = static_cast<DWORD>(der.size());
  der.resize(CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                  reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr) ? size : 0);
  return der;
}

std::string Digest(ALG_ID algorithm, const std::string& data) {
  BYTE digest[32];
  DWORD size = sizeof(digest);
  const bool hashed = CryptHashCertificate(0, algorithm, 0, reinterpret_cast<const BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size()), digest, &size);
  return std::string(reinterpret_cast<const char*>(digest), hashed ? size : 0);
}

// Wine's store API reports a delete from a system store as done and keeps
// the certificate: its registry keys go instead.
void Forget(const wchar_t* store, const std::string& der, std::initializer_list<HKEY> hives) {
  const std::wstring key = std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + store +
                           L"\\Certificates\\" + Hex(Digest(CALG_SHA1, der), L"");
  for (HKEY hive : hives) {
    const LSTATUS status = RegDeleteTreeW(hive, key.c_str());
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
  }
}

// A count the plain origin tells: /seen?mark=... (request lines that the
// origins read with the mark) or /tunnels (CONNECT requests of the proxy).
long Count(const std::wstring& pathAndQuery) {
  return std::stol(L"0" + Fetch({{L"sURL", Url(pathAndQuery)}, {L"nProxyType", 1}}));
}

// A new object (no check done yet) for a TLS origin's path.
Dispatch Secure(int port, const std::wstring& pathAndQuery, const std::wstring& pin) {
  return MakeRequest({{L"sURL", L"https://127.0.0.1:" + std::to_wstring(port) + pathAndQuery},
                      {L"sServerCertSha256", pin}});
}

// started: gbGet's answer; error 0: 200 from the server, -1: the platform's refusal of an
// untrusted certificate; linesSeen: also the requests of the object, at least one; tunnels:
// CONNECT requests the proxy saw.
struct Row { const char* what; std::wstring pin; bool viaProxy, started; long error, linesSeen, tunnels; };

// A new object's requests to the TLS origin by the row, and what the origin
// and the proxy saw of them; mark: unique to the row.
void Expect(const Row& c, const std::wstring& mark) {
  SCOPED_TRACE(c.what);
  Dispatch fresh = Secure(Ports().https, L"/echo?" + mark, c.pin);
  // Through the test proxy, whose name differs from the target's: the engine opens a tunnel.
  if (c.viaProxy)
    fresh.Set({{L"nProxyType", 2}, {L"sProxyname", L"localhost"}, {L"nProxyPort", static_cast<short>(Ports().proxy)}});
  const long tunnels = Count(L"/tunnels");
  for (long request = 0; request < std::max(c.linesSeen, 1L); ++request) {
    EXPECT_EQ(fresh.Call(L"gbGet").value.Bool(), c.started);
    const long error = fresh.Get(L"lErrorcode").Long();
    EXPECT_TRUE(c.error == -1 ? error == 12175 || error == 12045 || error == 12157 : error == c.error) << error;
    if (c.error == kPinError) {
      EXPECT_EQ(fresh.Get(L"sErrortext").Text(),
                L"The server's certificate does not match the pinned certificate (sServerCertSha256)");
    }
    EXPECT_EQ(fresh.Get(L"lResponseCode").Long(), c.error == 0 ? 200 : 0);
  }
  EXPECT_EQ(Count(L"/seen?mark=" + mark), c.linesSeen);
  EXPECT_EQ(Count(L"/tunnels") - tunnels, c.tunnels);
}

class Certificates : public RequestFixture {};

TEST_F(Certificates, APinnedCertificateIsAcceptedExactlyAndAMismatchSendsNothing) {
  ASSERT_NE(Ports().https, 0);
  const std::string der = ServerCertificate();
  ASSERT_FALSE(der.empty());
  const std::wstring pin = Hex(Digest(CALG_SHA_256, der));
  std::wstring wrong = pin;
  wrong.back() = wrong.back() == L'0' ? L'1' : L'0';
  const Row cases[] = {
      {"the right pin", pin, false, true, 0, 1, 0},
      {"the right pin, colons and upper case", Hex(Digest(CALG_SHA_256, der), L":"), false, true, 0, 1, 0},
      {"a wrong pin", wrong, false, false, kPinError, 0, 0},
      // (After pinned requests to the same server: no connection of theirs is reused.)
      {"no pin: the machine's checks", L"", false, true, -1, 0, 0},
      {"63 digits", pin.substr(1), false, false, ERROR_INVALID_PARAMETER, 0, 0},
      {"no hex", L"sha256:" + pin.substr(7), false, false, ERROR_INVALID_PARAMETER, 0, 0},
      // Through the proxy: the check's own tunnel, then the engine's.
      {"the right pin through the proxy", pin, true, true, 0, 1, 2},
      {"a wrong pin through the proxy", wrong.substr(0, 30) + L":" + wrong.substr(30), true, false, kPinError, 0, 1},
      // Three requests of one object: one tunnel for the check, then the
      // engine's own for each request, since a pinned connection serves one only.
      {"three requests through the proxy", pin, true, true, 0, 3, 4},
  };
  for (const Row& c : cases) Expect(c, L"pin" + std::to_wstring(&c - cases) + L"x");
}

// A server the machine trusts, directly and through the proxy's tunnel (the
// refusal of an untrusted one: the pin table's row without a pin). Wine's
// chain engine reads the trusted roots once per process, so this test trusts
// the origins' certificate for the prefix and runs itself again as the client.
TEST_F(Certificates, ATrustedServerAnswersDirectlyAndThroughAProxy) {
  ASSERT_NE(Ports().https, 0);
  if (GetEnvironmentVariableW(L"QM_TRUSTED_CLIENT", nullptr, 0)) {
    Expect({"direct", L"", false, true, 0, 1, 0}, L"trusted1x");
    Expect({"through the proxy", L"", true, true, 0, 1, 1}, L"trusted2x");
    return;
  }
  const std::string der = ServerCertificate();
  ASSERT_FALSE(der.empty());
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                               static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                               nullptr));
  CertCloseStore(root, 0);
  SetEnvironmentVariableW(L"QM_TRUSTED_CLIENT", L"1");
  qmtest::tProcess client(L"\"" + qmtest::ProgramFolder() + L"\\httplib_machine_settings_test.exe\""
                          L" --gtest_filter=Certificates.ATrustedServerAnswersDirectlyAndThroughAProxy");
  EXPECT_TRUE(client.started());
  EXPECT_EQ(client.WaitForExit(240000), 0u) << "the client that trusts the certificate";
  SetEnvironmentVariableW(L"QM_TRUSTED_CLIENT", nullptr);
  // The machine's and the user's copy go, so that the other tests find it untrusted.
  Forget(L"Root", der, {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER});
}

// The client certificate of the fixture, with its key, sits in the current
// user's personal store of the test prefix while the test runs.
TEST_F(Certificates, AClientCertificateIsFoundByItsNameOrFingerprintAndAMissingOneSendsNothing) {
  const std::string pfx = qmtest::ReadBytes(qmtest::ProgramFolder() + L"\\httplib-servers.txt.client.pfx");
  ASSERT_FALSE(pfx.empty());
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(pfx.size()), reinterpret_cast<BYTE*>(const_cast<char*>(pfx.data()))};
  HCERTSTORE imported = PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET);
  ASSERT_NE(imported, nullptr) << GetLastError();
  PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(imported, nullptr);
  ASSERT_NE(certificate, nullptr);
  // (The system store writes what it got when it is closed.)
  HCERTSTORE personal = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  ASSERT_NE(personal, nullptr);
  EXPECT_TRUE(CertAddCertificateContextToStore(personal, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(personal, 0);
  const std::string der(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
  CertFreeCertificateContext(certificate);
  CertCloseStore(imported, 0);
  ASSERT_NE(Ports().mtls, 0);
  const std::wstring sha1 = Hex(Digest(CALG_SHA1, der));
  const std::wstring sha256 = Hex(Digest(CALG_SHA_256, der));
  const std::wstring pin = Hex(Digest(CALG_SHA_256, ServerCertificate()));
  // error 0: the request went out.
  const struct Case { std::wstring name; long error; } cases[] = {
      {L"Korvanet Test Client", 0},
      {L"CURRENT_USER\\MY\\Korvanet Test Client", 0},
      {L"current_user\\Korvanet Test Client", 0},
      {sha1, 0},
      {Hex(Digest(CALG_SHA_256, der), L":"), 0},
      {L"Nobody We Know", kClientCertificateError},
      {L"CURRENT_USER\\Root\\Korvanet Test Client", kClientCertificateError},
      {L"LOCAL_MACHINE\\MY\\Korvanet Test Client", kClientCertificateError},  // the user's only
      {L"CURRENT_USER\\NoSuchStore\\Korvanet Test Client", kClientCertificateError},
      {sha1.substr(0, 38) + L"00", kClientCertificateError},
      {L"OTHER_USER\\MY\\Korvanet Test Client", ERROR_INVALID_PARAMETER},
      {L"CURRENT_USER\\MY\\", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring mark = L"client" + std::to_wstring(&c - cases) + L"x";
    Dispatch fresh = Secure(Ports().mtls, L"/peercert?" + mark, pin).Set({{L"sClientCertificate", c.name}});
    EXPECT_EQ(fresh.Call(L"gbGet").value.Bool(), c.error == 0);
    EXPECT_EQ(fresh.Get(L"lErrorcode").Long(), c.error);
    if (c.error == kClientCertificateError) {
      EXPECT_EQ(fresh.Get(L"sErrortext").Text(),
                L"The client certificate (sClientCertificate) was not found in the certificate store");
    }
    EXPECT_EQ(Count(L"/seen?mark=" + mark), c.error == 0 ? 1 : 0);
    if (c.error == 0) {
      EXPECT_EQ(fresh.Outcome(), Outcome(0, 200, sha256)) << "the server saw this very certificate";
    }
  }
  Forget(L"My", der, {HKEY_CURRENT_USER});
}

// Requests under the proxy configuration of the machine's user, which a
// client does not choose. Each test changes it for the whole prefix and puts
// it back.

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
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings", REG_BINARY,
                            blob.data(), static_cast<DWORD>(blob.size())), ERROR_SUCCESS);
}

class MachineSettings : public ApartmentFixture {
 protected:
  void TearDown() override {
    // The prefix's own setting: direct, as scripts/direct-connection.reg has it.
    WriteUserConnection(kDirect);
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

// Pinned server certificates and client certificates, against the loopback
// TLS origins, whose self-signed certificate the machine does not trust.
// The origins record every request line they read (/seen), so "nothing was
// sent" is what the server saw, not what the library says.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetRequestFixture.h"
#include "korvanetTestSupport.h"
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
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
    size = 0;
  der.resize(size);
  return der;
}

// Lower-case hex, or as people copy it from certificate viewers: upper
// case, pairs separated by colons or blanks.
std::wstring Hex(const std::string& bytes, const wchar_t* separator = nullptr) {
  std::wstring hex;
  for (unsigned char b : bytes) {
    wchar_t pair[4];
    swprintf(pair, 4, separator ? L"%02X" : L"%02x", b);
    if (separator && !hex.empty()) hex += separator;
    hex += pair;
  }
  return hex;
}

std::string Digest(const wchar_t* algorithm, const std::string& data) {
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  DWORD size = 0, got = 0;
  BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0);
  BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof(size), &got, 0);
  std::string digest(size, '\0');
  BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), static_cast<ULONG>(data.size()), 0);
  BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), size, 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(provider, 0);
  return digest;
}

// A count the plain origin tells: /seen?mark=... (request lines that the
// origins read with the mark) or /tunnels (CONNECT requests of the proxy).
long Count(const std::wstring& pathAndQuery) {
  Dispatch counter = MakeRequest({{L"sURL", Url(pathAndQuery)}, {L"nProxyType", 1}});
  counter.Call(L"gbGet");
  return std::stol(L"0" + counter.Get(L"sResponse").Text());
}

// A new object (no check done yet) for a TLS origin's path.
Dispatch Secure(int port, const std::wstring& pathAndQuery, const std::wstring& pin) {
  return MakeRequest({{L"sURL", L"https://127.0.0.1:" + std::to_wstring(port) + pathAndQuery},
                      {L"sServerCertSha256", pin}});
}

class Certificates : public RequestFixture {};

TEST_F(Certificates, APinnedCertificateIsAcceptedExactlyAndAMismatchSendsNothing) {
  ASSERT_NE(Ports().https, 0);
  const std::string der = ServerCertificate();
  ASSERT_FALSE(der.empty());
  const std::wstring pin = Hex(Digest(BCRYPT_SHA256_ALGORITHM, der));
  std::wstring wrong = pin;
  wrong.back() = wrong.back() == L'0' ? L'1' : L'0';
  const struct Case {
    const char* what;
    std::wstring pin;
    bool viaProxy;
    bool started;   // gbGet's answer
    long error;     // 0: 200 from the server; -1: the platform's refusal of an untrusted certificate
    long linesSeen;
    long tunnels;   // CONNECT requests the proxy saw
  } cases[] = {
      {"the right pin", pin, false, true, 0, 1, 0},
      {"the right pin, colons and upper case", Hex(Digest(BCRYPT_SHA256_ALGORITHM, der), L":"), false, true, 0, 1, 0},
      {"the right pin, blanks", Hex(Digest(BCRYPT_SHA256_ALGORITHM, der), L" "), false, true, 0, 1, 0},
      {"a wrong pin", wrong, false, false, kPinError, 0, 0},
      // (After pinned requests to the same server: no connection of theirs is reused.)
      {"no pin: the machine's checks", L"", false, true, -1, 0, 0},
      {"63 digits", pin.substr(1), false, false, ERROR_INVALID_PARAMETER, 0, 0},
      {"65 digits", pin + L"0", false, false, ERROR_INVALID_PARAMETER, 0, 0},
      {"no hex", L"sha256:" + pin.substr(7), false, false, ERROR_INVALID_PARAMETER, 0, 0},
      // Through the proxy: the check's own tunnel, then the engine's.
      {"the right pin through the proxy", pin, true, true, 0, 1, 2},
      {"a wrong pin through the proxy", wrong.substr(0, 30) + L":" + wrong.substr(30), true, false, kPinError, 0, 1},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring mark = L"pin" + std::to_wstring(++row) + L"x";
    Dispatch fresh = Secure(Ports().https, L"/echo?" + mark, c.pin);
    if (c.viaProxy) fresh.Set({{L"nProxyType", 2}, {L"sProxyname", L"localhost"}, {L"nProxyPort", static_cast<short>(Ports().proxy)}});
    const long tunnels = Count(L"/tunnels");
    EXPECT_EQ(fresh.Call(L"gbGet").value.Bool(), c.started);
    const long error = fresh.Get(L"lErrorcode").Long();
    if (c.error == -1) {
      EXPECT_TRUE(error == 12175 || error == 12045 || error == 12157) << error;
    } else {
      EXPECT_EQ(error, c.error);
    }
    if (c.error == kPinError) {
      EXPECT_EQ(fresh.Get(L"sErrortext").Text(),
                L"The server's certificate does not match the pinned certificate (sServerCertSha256)");
    }
    EXPECT_EQ(fresh.Get(L"lResponseCode").Long(), c.error == 0 ? 200 : 0);
    EXPECT_EQ(Count(L"/seen?mark=" + mark), c.linesSeen);
    EXPECT_EQ(Count(L"/tunnels") - tunnels, c.tunnels);
  }
}

TEST_F(Certificates, ASequenceOfPinnedRequestsChecksTheCertificateOnce) {
  req.Set({{L"sURL", L"https://127.0.0.1:" + std::to_wstring(Ports().https) + L"/echo?pinseq"},
           {L"sServerCertSha256", Hex(Digest(BCRYPT_SHA256_ALGORITHM, ServerCertificate()))},
           {L"nProxyType", 2}, {L"sProxyname", L"localhost"}, {L"nProxyPort", static_cast<short>(Ports().proxy)}});
  const long tunnels = Count(L"/tunnels");
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Get());
    EXPECT_EQ(Long(L"lResponseCode"), 200);
  }
  // One for the check, then the engine's own for each request: a pinned
  // connection serves one request only.
  EXPECT_EQ(Count(L"/tunnels") - tunnels, 4);
  EXPECT_EQ(Count(L"/seen?mark=pinseq"), 3);
}

// The client certificate of the fixture, with its key, in the current
// user's personal store of the test prefix while the test runs.
class ClientCertificates : public RequestFixture {
 protected:
  void SetUp() override {
    RequestFixture::SetUp();
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
    der.assign(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
    CertFreeCertificateContext(certificate);
    CertCloseStore(imported, 0);
  }
  void TearDown() override {
    // Wine's store API reports a delete from a system store as done and
    // keeps the certificate: its registry key goes instead.
    std::wstring key = L"Software\\Microsoft\\SystemCertificates\\My\\Certificates\\";
    for (wchar_t c : Hex(Digest(BCRYPT_SHA1_ALGORITHM, der))) key += static_cast<wchar_t>(towupper(c));
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str()), ERROR_SUCCESS);
    RequestFixture::TearDown();
  }
  std::string der;
};

TEST_F(ClientCertificates, TheCertificateIsFoundByItsNameOrFingerprintAndAMissingOneSendsNothing) {
  ASSERT_NE(Ports().mtls, 0);
  const std::wstring sha1 = Hex(Digest(BCRYPT_SHA1_ALGORITHM, der));
  const std::wstring sha256 = Hex(Digest(BCRYPT_SHA256_ALGORITHM, der));
  const std::wstring pin = Hex(Digest(BCRYPT_SHA256_ALGORITHM, ServerCertificate()));
  const struct Case {
    std::wstring name;
    long error;  // 0: the request went out
  } cases[] = {
      {L"Korvanet Test Client", 0},
      {L"korvanet test", 0},  // a part of the subject, in any case
      {L"CURRENT_USER\\MY\\Korvanet Test Client", 0},
      {L"current_user\\Korvanet Test Client", 0},
      {sha1, 0},
      {Hex(Digest(BCRYPT_SHA256_ALGORITHM, der), L":"), 0},
      {L"Nobody We Know", kClientCertificateError},
      {L"CURRENT_USER\\Root\\Korvanet Test Client", kClientCertificateError},
      {L"CURRENT_USER\\NoSuchStore\\Korvanet Test Client", kClientCertificateError},
      {sha1.substr(0, 38) + L"00", kClientCertificateError},
      {L"OTHER_USER\\MY\\Korvanet Test Client", ERROR_INVALID_PARAMETER},
      {L"CURRENT_USER\\MY\\", ERROR_INVALID_PARAMETER},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring mark = L"client" + std::to_wstring(++row) + L"x";
    Dispatch fresh = Secure(Ports().mtls, L"/peercert?" + mark, pin);
    fresh.Put(L"sClientCertificate", c.name);
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
}

}  // namespace

// The engine's decisions as tables against its functions: where a redirect
// leads and what travels with it, which challenge is answered with what,
// the header lines of a request and the text a charset label makes of
// bytes, and the TLS options a session and a request ask for. One
// end-to-end row of each runs through COM in classes_test.cpp.
#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "qmHttpAuth.h"
#include "qmHttpHeaders.h"
#include "qmHttpRedirect.h"
#include "qmHttpResponseText.h"
#include "qmHttpTls.h"
#include "qmHttpUrl.h"

using namespace korvanet;

// The rows name only the settings that matter to them; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const wchar_t* const kHere = L"http://127.0.0.1:8080/a/b";

// The lines of one name, in order, joined with "|".
std::wstring Lines(const qmHeaderLines& lines, const wchar_t* name) {
  std::wstring joined;
  for (const auto& [n, v] : lines)
    if (qmSameHeaderName(n, name)) joined += (joined.empty() ? L"" : L"|") + v;
  return joined;
}

TEST(Redirect, StatusVerbAndTargetDecideWhereTheRequestGoesOnAndAsWhat) {
  // target: where the request goes on; empty: the response is the answer.
  const struct { DWORD status; const wchar_t *verb, *location; int followed; const wchar_t *target, *nextVerb;
                 bool keepsBody; } cases[] = {
      {301, L"POST", L"/x", 0, L"http://127.0.0.1:8080/x", L"GET", false},
      {302, L"POST", L"x", 0, L"http://127.0.0.1:8080/a/x", L"GET", false},
      {302, L"PATCH", L"/x", 0, L"http://127.0.0.1:8080/x", L"PATCH", true},
      {303, L"PUT", L"/x", 0, L"http://127.0.0.1:8080/x", L"GET", false},
      {303, L"HEAD", L"/x", 0, L"http://127.0.0.1:8080/x", L"HEAD", true},
      {307, L"POST", L"/x", 0, L"http://127.0.0.1:8080/x", L"POST", true},
      {308, L"DELETE", L"/x", 0, L"http://127.0.0.1:8080/x", L"DELETE", true},
      {307, L"POST", L"//localhost:81/y?q", 0, L"http://localhost:81/y?q", L"POST", true},
      // The tenth redirect is followed, an eleventh is the answer.
      {302, L"GET", L"/x", kMaxRedirects - 1, L"http://127.0.0.1:8080/x", L"GET", true},
      {302, L"GET", L"/x", kMaxRedirects, L"", L"GET", true},
      {300, L"GET", L"/x", 0, L"", L"GET", true},
      {302, L"GET", L"", 0, L"", L"GET", true},
      {302, L"GET", L"ftp://127.0.0.1/x", 0, L"", L"GET", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.status << ' ' << c.verb << ' ' << c.location << " after " << c.followed);
    qmHttpSettings settings{.url = kHere, .verb = c.verb,
                            .headers = {{L"content-type", L"application/json"}, {L"X-Keep", L"1"}},
                            .body = "payload", .contentType = L"application/x-www-form-urlencoded"};
    qmOrigin first;
    ASSERT_TRUE(qmOriginOf(kHere, first));
    EXPECT_EQ(qmFollowRedirect(c.status, c.location, c.followed, first, settings), c.target);
    EXPECT_EQ(settings.url, *c.target ? c.target : kHere);
    EXPECT_EQ(settings.verb, c.nextVerb);
    EXPECT_EQ(settings.body, c.keepsBody ? "payload" : "");
    EXPECT_EQ(Lines(settings.headers, L"Content-Type"), c.keepsBody ? L"application/json" : L"");
    EXPECT_EQ(settings.contentType.empty(), !c.keepsBody);
    EXPECT_EQ(Lines(settings.headers, L"X-Keep"), L"1");
  }
}

TEST(Redirect, TheClientsCredentialsCookiesAndHostStayWithTheOriginItNamed) {
  const struct { const wchar_t *from, *location; bool followed, keepsCredentials; } cases[] = {
      {L"http://127.0.0.1:8080/a", L"/b", true, true},
      {L"http://127.0.0.1:8080/a", L"HTTP://127.0.0.1:8080/b", true, true},
      {L"http://127.0.0.1:8080/a", L"http://127.0.0.1:8081/b", true, false},  // another port
      {L"http://127.0.0.1:8080/a", L"http://localhost:8080/b", true, false},  // another host
      {L"http://127.0.0.1:8080/a", L"https://127.0.0.1:8080/b", true, false}, // another scheme
      {L"http://127.0.0.1/a", L"http://127.0.0.1:80/b", true, true},          // the default port
      // From https to http the request would travel in the clear: the
      // redirect is the answer, the client sees its status and body.
      {L"https://127.0.0.1:8443/a", L"http://127.0.0.1:8443/b", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::wstring(c.from) + L" -> " + c.location);
    qmHttpSettings settings{.url = c.from, .verb = L"GET",
                            .headers = {{L"authorization", L"Basic cW06c2VjcmV0"}, {L"Cookie", L"s=1"},
                                        {L"HOST", L"a"}, {L"X-Keep", L"1"}}};
    qmOrigin first;
    ASSERT_TRUE(qmOriginOf(c.from, first));
    EXPECT_EQ(qmFollowRedirect(307, c.location, 0, first, settings).empty(), !c.followed);
    EXPECT_EQ(Lines(settings.headers, L"Authorization"), c.keepsCredentials ? L"Basic cW06c2VjcmV0" : L"");
    EXPECT_EQ(Lines(settings.headers, L"Cookie"), c.keepsCredentials ? L"s=1" : L"");
    EXPECT_EQ(Lines(settings.headers, L"Host"), c.keepsCredentials ? L"a" : L"");
    EXPECT_EQ(Lines(settings.headers, L"X-Keep"), L"1");
  }
}

TEST(Authentication, ServerCredentialsGoOnlyToTheNamedOriginAndProxyCredentialsOnlyToAProxy) {
  const qmHttpSettings settings{.user = L"qm", .proxyUser = L"p"};
  // The challenge: status, same origin, through a proxy, server and proxy challenges answered so far.
  const struct { qmChallenge challenge; DWORD target; } cases[] = {
      {{401, true, true, kMaxChallenges - 1, 0}, WINHTTP_AUTH_TARGET_SERVER},
      {{401, true, false, kMaxChallenges, 0}, kNoChallengeTarget},
      {{401, false, false, 0, 0}, kNoChallengeTarget},  // a redirect's other origin
      {{407, false, true, 0, 0}, WINHTTP_AUTH_TARGET_PROXY},
      {{407, true, true, 0, kMaxChallenges - 1}, WINHTTP_AUTH_TARGET_PROXY},
      {{407, true, true, 0, kMaxChallenges}, kNoChallengeTarget},
      {{407, true, false, 0, 0}, kNoChallengeTarget},  // a server reached directly
      {{403, true, true, 0, 0}, kNoChallengeTarget},
  };
  for (const auto& c : cases)
    EXPECT_EQ(qmChallengeTarget(c.challenge, settings), c.target) << "row " << &c - cases;
  EXPECT_EQ(qmChallengeTarget({401, true, false, 0, 0}, {}), kNoChallengeTarget) << "no user, no answer";
  EXPECT_EQ(qmChallengeTarget({407, false, true, 0, 0}, {}), kNoChallengeTarget);
}

TEST(Authentication, TheCodeNamesTheSchemeOrTheStrongestOfferedOneIsTaken) {
  constexpr DWORD kBasic = WINHTTP_AUTH_SCHEME_BASIC, kDigest = WINHTTP_AUTH_SCHEME_DIGEST,
                  kNtlm = WINHTTP_AUTH_SCHEME_NTLM, kNegotiate = WINHTTP_AUTH_SCHEME_NEGOTIATE;
  const struct { short code; DWORD offered, chosen; } cases[] = {
      {kAuthBasic, kBasic | kNtlm, kBasic},          {kAuthBasic, kNtlm, 0},
      {kAuthDigest, kBasic | kDigest, kDigest},      {kAuthNtlm, kNtlm | kNegotiate, kNtlm},
      {kAuthNegotiate, kNegotiate, kNegotiate},      {kAuthNegotiate, kNtlm, 0},
      {kAuthAutomatic, kBasic | kDigest, kDigest},   {kAuthAutomatic, kBasic | kNtlm | kNegotiate, kNegotiate},
      {kAuthAutomatic, kBasic, kBasic},              {kAuthAutomatic, 0, 0},
      {0, kNtlm | kBasic, kNtlm},
  };
  for (const auto& c : cases) EXPECT_EQ(qmChooseScheme(c.code, c.offered), c.chosen) << c.code << " " << c.offered;
}

TEST(RequestHeaders, TheClientsLinesReplaceTheDefaultsOfTheirNameWhateverTheirCase) {
  constexpr const wchar_t* kForm = L"application/x-www-form-urlencoded";
  const struct { const char* what; qmHttpSettings settings; const wchar_t *name, *lines; } cases[] = {
      {"the default encoding", {}, L"Accept-Encoding", L"gzip, deflate"},
      {"the client's encoding", {.headers = {{L"accept-encoding", L"identity"}}}, L"Accept-Encoding", L"identity"},
      {"the property over the client's line",
       {.acceptEncoding = L"br", .headers = {{L"accept-encoding", L"identity"}}}, L"Accept-Encoding", L"br"},
      {"single names: the last wins", {.headers = {{L"ACCEPT", L"a"}, {L"Accept", L"b"}}}, L"Accept", L"b"},
      {"sAccept over the client's line", {.accept = L"c", .headers = {{L"accept", L"a"}}}, L"Accept", L"c"},
      {"other names repeat", {.headers = {{L"X-Twice", L"1"}, {L"x-twice", L"2"}}}, L"X-Twice", L"1|2"},
      {"an empty value is sent", {.headers = {{L"X-Empty", L""}}}, L"X-Empty", L""},
      {"a form's type is a default", {.headers = {{L"content-type", L"text/json"}}, .contentType = kForm},
       L"Content-Type", L"text/json"},
      {"the form's type without the client's", {.contentType = kForm}, L"Content-Type", kForm},
      {"a multipart body keeps its boundary",
       {.headers = {{L"Content-Type", L"text/json"}}, .contentType = L"multipart/form-data; boundary=b"},
       L"Content-Type", L"multipart/form-data; boundary=b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const qmHeaderLines lines = qmRequestHeaderLines(c.settings);
    EXPECT_EQ(Lines(lines, c.name), c.lines);
    size_t count = 0;
    for (const auto& line : lines) count += qmSameHeaderName(line.first, c.name);
    EXPECT_EQ(count, std::count(c.lines, c.lines + wcslen(c.lines), L'|') + 1u) << "one line per value";
  }
}

// Hex digits to bytes.
std::string Bytes(const char* hex) {
  std::string bytes;
  for (; hex[0] && hex[1]; hex += 2) bytes += static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16));
  return bytes;
}

TEST(ResponseText, CharsetLabelsDecodeAsBrowsersDoAndAByteOrderMarkDecides) {
  const std::wstring t = L"text/plain; charset=";
  // Every content type of a row makes the same text of the bytes.
  const struct { std::vector<std::wstring> types; const char* hex; const wchar_t* text; } cases[] = {
      // Latin-1 labels mean windows-1252, as in every browser; one row per decoder
      // family and per stand-in code page (gb18030, euc-jp, iso-8859-8-i).
      {{t + L"iso-8859-1"}, "80e4", L"\u20ac\u00e4"},
      {{t + L"\"ISO_8859-1:1987\"", L"text/plain;charset=latin1", t + L"l1"}, "80", L"\u20ac"},
      {{t + L"iso-8859-9"}, "80d0", L"\u20ac\u011e"},
      {{t + L"unicode-1-1-utf-8"}, "c3a4", L"\u00e4"},
      {{t + L"shift_jis"}, "93fa967b", L"\u65e5\u672c"},
      {{t + L"gb18030"}, "d6d0cec4", L"\u4e2d\u6587"},
      {{t + L"euc-jp"}, "c6fccbdc", L"\u65e5\u672c"},
      {{t + L"iso-8859-8-i"}, "e0", L"\u05d0"},
      {{t + L"utf-16", t + L"utf-16le"}, "e400", L"\u00e4"},
      {{t + L"utf-16be"}, "00e4", L"\u00e4"},
      // A byte left over from UTF-16 units is no character: it shows.
      {{t + L"utf-16"}, "410042", L"A\ufffd"},
      // Only a parameter named charset is the label.
      {{L"text/plain; xcharset=utf-8"}, "e4", L"\u00e4"},
      {{L"text/plain; format=\"charset=utf-8\"; CHARSET = iso-8859-1"}, "80", L"\u20ac"},
      // A byte-order mark decides over the label and is no part of the text.
      {{t + L"iso-8859-1"}, "efbbbfc3a4", L"\u00e4"},
      {{L"text/plain"}, "fffee400", L"\u00e4"},
      {{t + L"utf-8"}, "feff00e4", L"\u00e4"},
      {{L"application/octet-stream"}, "efbbbf41", L"A"},
      // Unknown labels keep the fallback: UTF-8 when valid.
      {{t + L"x-nonsense"}, "c3a4", L"\u00e4"},
      {{L"text/plain"}, "", L""},
  };
  for (const auto& c : cases)
    for (const auto& type : c.types) EXPECT_EQ(qmDecodeText(Bytes(c.hex), type), c.text) << type << " " << c.hex;
}

// The engine's option call replaced: what a system that knows TLS 1.3, one
// that knows only 1.2 and one that knows neither (Windows 7 without its
// update) answer.
std::vector<DWORD> gAsked;      // the flags of each call, in order
DWORD gKnown = 0, gOption = 0;  // the flags and the option the pretended system accepts

BOOL WINAPI PretendedSetOption(HINTERNET, DWORD option, LPVOID buffer, DWORD length) {
  if (option != gOption || length != sizeof(DWORD)) return FALSE;
  gAsked.push_back(*static_cast<DWORD*>(buffer));
  if ((gAsked.back() & ~gKnown) == 0) return TRUE;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

TEST(SessionTls, AsksForTls12And13AndKeepsTheSystemDefaultWhereNeitherIsKnown) {
  constexpr DWORD kTls10 = 0x80, kTls11 = 0x200, kTls12 = 0x800, kTls13 = 0x2000;
  const struct { const char* system; DWORD known, inForce; std::vector<DWORD> asked; } cases[] = {
      {"knows 1.3", kTls10 | kTls11 | kTls12 | kTls13, kTls12 | kTls13, {kTls12 | kTls13}},
      {"knows 1.2", kTls10 | kTls11 | kTls12, kTls12, {kTls12 | kTls13, kTls12}},
      {"refuses the option", 0, 0, {kTls12 | kTls13, kTls12}},
  };
  gOption = WINHTTP_OPTION_SECURE_PROTOCOLS;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system);
    gAsked.clear();
    gKnown = c.known;
    EXPECT_EQ(qmRequestModernTls(reinterpret_cast<HINTERNET>(1), PretendedSetOption), c.inForce);
    EXPECT_EQ(gAsked, c.asked);
  }
}

TEST(RequestTls, AsksForTheRevocationCheckAndOnlyOneThatCouldNotBeDoneIsTriedAgainWithout) {
  // Asked for where the system offers it.
  gOption = WINHTTP_OPTION_ENABLE_FEATURE;
  for (DWORD known : {DWORD{WINHTTP_ENABLE_SSL_REVOCATION}, DWORD{0}}) {
    gAsked.clear();
    gKnown = known;
    EXPECT_EQ(qmRequestRevocationCheck(reinterpret_cast<HINTERNET>(1), PretendedSetOption), known != 0);
    EXPECT_EQ(gAsked, std::vector<DWORD>{WINHTTP_ENABLE_SSL_REVOCATION});
  }
  // Only a revocation that could not be checked is tried again without the check.
  constexpr DWORD kRevFailed = WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
  const struct { const char* what; DWORD error, flags; bool again; } cases[] = {
      {"no revocation list (synchronous code)", ERROR_WINHTTP_SECURE_CERT_REV_FAILED, 0, true},
      {"no revocation list (TLS failure flags)", ERROR_WINHTTP_SECURE_FAILURE, kRevFailed, true},
      {"revoked (TLS failure flags)", ERROR_WINHTTP_SECURE_FAILURE, WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, false},
      {"no list and an unknown issuer", ERROR_WINHTTP_SECURE_FAILURE,
       kRevFailed | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, false},
      {"another failure", ERROR_WINHTTP_CANNOT_CONNECT, kRevFailed, false},
  };
  for (const auto& c : cases) EXPECT_EQ(qmRevocationUnknown(c.error, c.flags), c.again) << c.what;
}

}  // namespace

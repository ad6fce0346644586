// The TLS protocols every session asks for and the revocation check every
// request asks for, with the engine's option call replaced: what a system
// that knows TLS 1.3, one that knows only 1.2 and one that knows neither
// (Windows 7 without its update) answer.
#include <gtest/gtest.h>

#include <vector>

#include "qmHttpTls.h"

namespace {

std::vector<DWORD> gAsked;   // the protocol flags of each call, in order
DWORD gKnown = 0;            // the flags the pretended system accepts
DWORD gOption = 0;           // the option the pretended system knows

BOOL WINAPI PretendedSetOption(HINTERNET, DWORD option, LPVOID buffer, DWORD length) {
  if (option != gOption || length != sizeof(DWORD)) return FALSE;
  const DWORD flags = *static_cast<DWORD*>(buffer);
  gAsked.push_back(flags);
  if ((flags & ~gKnown) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

TEST(SessionTls, AsksForTls12And13AndKeepsTheSystemDefaultWhereNeitherIsKnown) {
  constexpr DWORD kTls10 = 0x80, kTls11 = 0x200, kTls12 = 0x800, kTls13 = 0x2000;
  const struct { const char* system; DWORD known, inForce; std::vector<DWORD> asked; } cases[] = {
      {"knows 1.3", kTls10 | kTls11 | kTls12 | kTls13, kTls12 | kTls13, {kTls12 | kTls13}},
      {"knows 1.2", kTls10 | kTls11 | kTls12, kTls12, {kTls12 | kTls13, kTls12}},
      {"refuses the option", 0, 0, {kTls12 | kTls13, kTls12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system);
    gAsked.clear();
    gKnown = c.known;
    gOption = WINHTTP_OPTION_SECURE_PROTOCOLS;
    EXPECT_EQ(korvanet::qmRequestModernTls(reinterpret_cast<HINTERNET>(1), PretendedSetOption), c.inForce);
    EXPECT_EQ(gAsked, c.asked);
  }
}

TEST(RequestTls, AsksForTheRevocationCheckWhereTheSystemOffersIt) {
  gOption = WINHTTP_OPTION_ENABLE_FEATURE;
  for (DWORD known : {DWORD{WINHTTP_ENABLE_SSL_REVOCATION}, DWORD{0}}) {
    gAsked.clear();
    gKnown = known;
    EXPECT_EQ(korvanet::qmRequestRevocationCheck(reinterpret_cast<HINTERNET>(1), PretendedSetOption), known != 0);
    EXPECT_EQ(gAsked, std::vector<DWORD>{WINHTTP_ENABLE_SSL_REVOCATION});
  }
}

TEST(RequestTls, OnlyARevocationThatCouldNotBeCheckedIsTriedAgainWithoutTheCheck) {
  constexpr DWORD kRevFailed = WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
  const struct { const char* what; DWORD error, flags; bool again; } cases[] = {
      {"no revocation list (synchronous code)", ERROR_WINHTTP_SECURE_CERT_REV_FAILED, 0, true},
      {"no revocation list (TLS failure flags)", ERROR_WINHTTP_SECURE_FAILURE, kRevFailed, true},
      {"revoked", ERROR_WINHTTP_SECURE_CERT_REVOKED, 0, false},
      {"revoked (TLS failure flags)", ERROR_WINHTTP_SECURE_FAILURE, WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, false},
      {"no list and an unknown issuer", ERROR_WINHTTP_SECURE_FAILURE,
       kRevFailed | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, false},
      {"another failure", ERROR_WINHTTP_CANNOT_CONNECT, kRevFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(korvanet::qmRevocationUnknown(c.error, c.flags), c.again);
  }
}

}  // namespace

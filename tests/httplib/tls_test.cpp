// The TLS protocols every session asks for, with the engine's option call
// replaced: what a system that knows TLS 1.3, one that knows only 1.2 and
// one that knows neither (Windows 7 without its update) answer.
#include <gtest/gtest.h>

#include <vector>

#include "qmHttpTls.h"

namespace {

std::vector<DWORD> gAsked;   // the protocol flags of each call, in order
DWORD gKnown = 0;            // the flags the pretended system accepts

BOOL WINAPI PretendedSetOption(HINTERNET, DWORD option, LPVOID buffer, DWORD length) {
  if (option != WINHTTP_OPTION_SECURE_PROTOCOLS || length != sizeof(DWORD)) return FALSE;
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
  const struct {
    const char* system;
    DWORD known;
    DWORD inForce;
    std::vector<DWORD> asked;
  } cases[] = {
      {"knows 1.3", kTls10 | kTls11 | kTls12 | kTls13, kTls12 | kTls13, {kTls12 | kTls13}},
      {"knows 1.2", kTls10 | kTls11 | kTls12, kTls12, {kTls12 | kTls13, kTls12}},
      {"refuses the option", 0, 0, {kTls12 | kTls13, kTls12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system);
    gAsked.clear();
    gKnown = c.known;
    EXPECT_EQ(korvanet::qmRequestModernTls(reinterpret_cast<HINTERNET>(1), PretendedSetOption), c.inForce);
    EXPECT_EQ(gAsked, c.asked);
  }
}

}  // namespace

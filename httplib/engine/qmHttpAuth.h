// Which challenges a request answers, and with what.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "qmHttpSettings.h"

namespace korvanet {

constexpr int kMaxChallenges = 2;
constexpr DWORD kNoChallengeTarget = static_cast<DWORD>(-1);

// What a transfer knows when a 401 or 407 arrives.
struct qmChallenge {
  DWORD status = 0;
  bool sameOrigin = false;     // the current hop is the origin the client named
  bool throughProxy = false;   // the current hop really goes through a proxy
  int serverAnswers = 0;       // challenges of each kind answered so far
  int proxyAnswers = 0;
};

// The target to answer (WINHTTP_AUTH_TARGET_SERVER or _PROXY), or
// kNoChallengeTarget when the response is the answer (the server's target
// is 0 itself). The server's credentials go only to the origin the
// client named; the proxy's only to a proxy, since a 407 on a direct hop
// comes from a server that must never see them.
DWORD qmChallengeTarget(const qmChallenge& challenge, const qmHttpSettings& settings);

// The scheme to answer with: the one the code names when the server offers
// it, or for the automatic code the strongest one offered; 0 for none.
DWORD qmChooseScheme(short code, DWORD offered);

// Sets the credentials for the target on the request; false when none of
// the offered schemes may be used.
bool qmAnswerChallenge(HINTERNET request, DWORD target, const qmHttpSettings& settings);

}  // namespace korvanet

#include "qmHttpAuth.h"

namespace korvanet {

qmAnswerTo qmChallengeTarget(const qmChallenge& challenge, const qmHttpSettings& settings) {
  if (challenge.status == HTTP_STATUS_DENIED && challenge.sameOrigin && !settings.user.empty() &&
      challenge.serverAnswers < kMaxChallenges)
    return qmAnswerTo::kServer;
  if (challenge.status == HTTP_STATUS_PROXY_AUTH_REQ && challenge.throughProxy && !settings.proxyUser.empty() &&
      challenge.proxyAnswers < kMaxChallenges)
    return qmAnswerTo::kProxy;
  return qmAnswerTo::kNobody;
}

DWORD qmChooseScheme(short code, DWORD offered) {
  switch (code) {
    case kAuthBasic: return offered & WINHTTP_AUTH_SCHEME_BASIC;
    case kAuthDigest: return offered & WINHTTP_AUTH_SCHEME_DIGEST;
    case kAuthNtlm: return offered & WINHTTP_AUTH_SCHEME_NTLM;
    case kAuthNegotiate: return offered & WINHTTP_AUTH_SCHEME_NEGOTIATE;
    default:
      for (DWORD scheme : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM,
                           WINHTTP_AUTH_SCHEME_DIGEST, WINHTTP_AUTH_SCHEME_BASIC})
        if (offered & scheme) return scheme;
      return 0;
  }
}

bool qmAnswerChallenge(HINTERNET request, qmAnswerTo to, const qmHttpSettings& settings) {
  DWORD offered = 0, first = 0, challengeTarget = 0;
  if (to == qmAnswerTo::kNobody || !WinHttpQueryAuthSchemes(request, &offered, &first, &challengeTarget))
    return false;
  const bool server = to == qmAnswerTo::kServer;
  const DWORD target = server ? WINHTTP_AUTH_TARGET_SERVER : WINHTTP_AUTH_TARGET_PROXY;
  const DWORD scheme = qmChooseScheme(server ? settings.authMode : settings.proxyAuthMode, offered);
  if (scheme == 0) return false;
  const std::wstring& user = server ? settings.user : settings.proxyUser;
  const std::wstring& password = server ? settings.password : settings.proxyPassword;
  return WinHttpSetCredentials(request, target, scheme, user.c_str(), password.c_str(), nullptr) != FALSE;
}

}  // namespace korvanet

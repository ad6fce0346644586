#include "qmHttpAuth.h"

namespace korvanet {

DWORD qmChallengeTarget(const qmChallenge& challenge, const qmHttpSettings& settings) {
  if (challenge.status == HTTP_STATUS_DENIED && challenge.sameOrigin && !settings.user.empty() &&
      challenge.serverAnswers < kMaxChallenges)
    return WINHTTP_AUTH_TARGET_SERVER;
  if (challenge.status == HTTP_STATUS_PROXY_AUTH_REQ && challenge.throughProxy && !settings.proxyUser.empty() &&
      challenge.proxyAnswers < kMaxChallenges)
    return WINHTTP_AUTH_TARGET_PROXY;
  return kNoChallengeTarget;
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

bool qmAnswerChallenge(HINTERNET request, DWORD target, const qmHttpSettings& settings) {
  DWORD offered = 0, first = 0, challengeTarget = 0;
  if (!WinHttpQueryAuthSchemes(request, &offered, &first, &challengeTarget)) return false;
  const bool server = target == WINHTTP_AUTH_TARGET_SERVER;
  const DWORD scheme = qmChooseScheme(server ? settings.authMode : settings.proxyAuthMode, offered);
  if (scheme == 0) return false;
  const std::wstring& user = server ? settings.user : settings.proxyUser;
  const std::wstring& password = server ? settings.password : settings.proxyPassword;
  return WinHttpSetCredentials(request, target, scheme, user.c_str(), password.c_str(), nullptr) != FALSE;
}

}  // namespace korvanet

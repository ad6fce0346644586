#include "qmUserProxy.h"

#include "qmComTypes.h"

namespace korvanet {
namespace {

// The per-user settings; WinHTTP hands out their strings from GlobalAlloc.
struct UserSettings {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  UserSettings() = default;
  UserSettings(const UserSettings&) = delete;
  UserSettings& operator=(const UserSettings&) = delete;
  ~UserSettings() {
    if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
    if (config.lpszProxy) GlobalFree(config.lpszProxy);
    if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
  }
};

struct ScriptAnswer {
  WINHTTP_PROXY_INFO info = {};
  ScriptAnswer() = default;
  ScriptAnswer(const ScriptAnswer&) = delete;
  ScriptAnswer& operator=(const ScriptAnswer&) = delete;
  ~ScriptAnswer() {
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
  }
};

bool HasText(const wchar_t* text) { return text && *text; }

// Asks the configuration script (found by detection or named by the user)
// for url's proxy. False when there is no script or it cannot be run.
bool AskScript(const UserSettings& user, const std::wstring& url, qmProxyRoute* route) {
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (user.config.fAutoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (HasText(user.config.lpszAutoConfigUrl)) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = user.config.lpszAutoConfigUrl;
  }
  if (!options.dwFlags) return false;
  // The script is fetched and run by this call; a session of its own keeps
  // it apart from the asynchronous sessions of the transfers.
  qmInternetHandle session(WinHttpOpen(L"Korvanet/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return false;
  options.fAutoLogonIfChallenged = TRUE;
  ScriptAnswer answer;
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &answer.info)) return false;
  if (answer.info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && HasText(answer.info.lpszProxy)) {
    route->accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    route->proxy = answer.info.lpszProxy;
    route->bypass = HasText(answer.info.lpszProxyBypass) ? answer.info.lpszProxyBypass : L"";
  } else {
    // The script said DIRECT.
    route->accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
  }
  return true;
}

}  // namespace

qmProxyRoute qmUserProxyRoute(const std::wstring& url) noexcept {
  try {
    qmProxyRoute route;
    UserSettings user;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&user.config)) return route;
    // As Windows does it: a script first, the fixed proxy when no script
    // answers, the machine's setting when the user has neither.
    if (AskScript(user, url, &route)) return route;
    if (HasText(user.config.lpszProxy)) {
      route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
      route.proxy = user.config.lpszProxy;
      route.bypass = HasText(user.config.lpszProxyBypass) ? user.config.lpszProxyBypass : L"";
    }
    return route;
  } catch (...) {
    // Out of memory for a few strings: the machine's setting still serves.
    return qmProxyRoute{};
  }
}

}  // namespace korvanet

#include "qmUserProxy.h"

namespace korvanet {
namespace {

constexpr wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// What WinHTTP hands out; it allocates the strings with GlobalAlloc.
struct UserConfig {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  UserConfig() = default;
  UserConfig(const UserConfig&) = delete;
  UserConfig& operator=(const UserConfig&) = delete;
  ~UserConfig() {
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

}  // namespace

void qmUserProxy::Refresh() {
  if (mbCurrent && mChanged && WaitForSingleObject(mChanged.get(), 0) == WAIT_TIMEOUT) return;
  mbCurrent = false;
  // The watch is set before the settings are read, so a change made while
  // they are read is not missed. Without a watch they are read every time.
  if (!mChanged) mChanged.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!mWatched) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_NOTIFY, &key) == ERROR_SUCCESS)
      mWatched.reset(key);
  }
  const bool watched = mChanged && mWatched &&
                       RegNotifyChangeKeyValue(mWatched.get(), TRUE,
                                               REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                               mChanged.get(), TRUE) == ERROR_SUCCESS;
  UserConfig user;
  Settings read;
  if (WinHttpGetIEProxyConfigForCurrentUser(&user.config)) {
    read.autoDetect = user.config.fAutoDetect != FALSE;
    if (user.config.lpszAutoConfigUrl) read.script = user.config.lpszAutoConfigUrl;
    if (user.config.lpszProxy) read.proxy = user.config.lpszProxy;
    if (user.config.lpszProxyBypass) read.bypass = user.config.lpszProxyBypass;
  }
  mSettings = std::move(read);
  mbCurrent = watched;
}

qmProxyRoute qmUserProxy::Route(const std::wstring& url) noexcept {
  try {
    Refresh();
    qmProxyRoute route;
    // As Windows does it: a script first, the fixed proxy when no script
    // answers, the machine's setting when the user has neither.
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (mSettings.autoDetect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!mSettings.script.empty()) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = mSettings.script.c_str();
    }
    if (options.dwFlags) {
      options.fAutoLogonIfChallenged = TRUE;
      // The script is fetched and run by this call; a session of its own
      // keeps it apart from the asynchronous sessions of the transfers.
      qmInternetHandle session(WinHttpOpen(L"Korvanet/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
      ScriptAnswer answer;
      if (session && WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &answer.info)) {
        if (answer.info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && answer.info.lpszProxy &&
            *answer.info.lpszProxy) {
          route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
          route.proxy = answer.info.lpszProxy;
          if (answer.info.lpszProxyBypass) route.bypass = answer.info.lpszProxyBypass;
        } else {
          route.accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;  // the script said DIRECT
        }
        return route;
      }
    }
    if (!mSettings.proxy.empty()) {
      route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
      route.proxy = mSettings.proxy;
      route.bypass = mSettings.bypass;
    }
    return route;
  } catch (...) {
    // Out of memory for a few strings: the machine's setting still serves.
    mbCurrent = false;
    return qmProxyRoute{};
  }
}

}  // namespace korvanet

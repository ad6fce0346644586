#include "qmUserProxy.h"

#include <vector>

#include "qmHttpUrl.h"

namespace korvanet {
namespace {

constexpr wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Holds an SRW lock exclusively for its scope.
class qmExclusiveLock {
 public:
  explicit qmExclusiveLock(SRWLOCK& lock) : mLock(lock) { AcquireSRWLockExclusive(&mLock); }
  ~qmExclusiveLock() { ReleaseSRWLockExclusive(&mLock); }
  qmExclusiveLock(const qmExclusiveLock&) = delete;
  qmExclusiveLock& operator=(const qmExclusiveLock&) = delete;

 private:
  SRWLOCK& mLock;
};

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

// The entries of a proxy or bypass list: separated by semicolons or blanks.
std::vector<std::wstring> ListEntries(const std::wstring& list) {
  std::vector<std::wstring> entries;
  size_t at = 0;
  while (at < list.size()) {
    const size_t end = list.find_first_of(L"; \t\r\n", at);
    const size_t stop = end == std::wstring::npos ? list.size() : end;
    if (stop > at) entries.push_back(list.substr(at, stop - at));
    at = stop + 1;
  }
  return entries;
}

// "*" and "?" wildcards, without regard to case.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
  if (*pattern == L'\0') return *text == L'\0';
  if (*pattern == L'*') return WildcardMatch(pattern + 1, text) || (*text && WildcardMatch(pattern, text + 1));
  if (*text == L'\0') return false;
  if (*pattern != L'?' && CompareStringOrdinal(pattern, 1, text, 1, TRUE) != CSTR_EQUAL) return false;
  return WildcardMatch(pattern + 1, text + 1);
}

// The proxy ("host:port") that a named route's lists give for a request to
// scheme and host; empty when it goes direct.
std::wstring NamedRouteProxy(const std::wstring& proxies, const std::wstring& bypass, const std::wstring& scheme,
                             const std::wstring& host) {
  std::wstring proxy;
  // "proxy:port" serves every scheme, "http=proxy:port" only its own.
  for (const std::wstring& entry : ListEntries(proxies)) {
    const size_t equals = entry.find(L'=');
    if (equals == std::wstring::npos || CompareStringOrdinal(entry.c_str(), static_cast<int>(equals), scheme.c_str(),
                                                             static_cast<int>(scheme.size()), TRUE) == CSTR_EQUAL) {
      proxy = equals == std::wstring::npos ? entry : entry.substr(equals + 1);
      break;
    }
  }
  if (proxy.empty()) return proxy;
  const size_t prefix = proxy.find(L"://");
  if (prefix != std::wstring::npos) proxy.erase(0, prefix + 3);
  for (const std::wstring& entry : ListEntries(bypass)) {
    // "<local>": every host name without a period.
    if (CompareStringOrdinal(entry.c_str(), -1, L"<local>", -1, TRUE) == CSTR_EQUAL) {
      if (host.find(L'.') == std::wstring::npos) return std::wstring();
    } else if (WildcardMatch(entry.c_str(), host.c_str())) {
      return std::wstring();
    }
  }
  return proxy;
}

}  // namespace

std::wstring qmRouteProxy(const qmProxyRoute& route, const std::wstring& scheme, const std::wstring& host) noexcept {
  try {
    if (route.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
      return NamedRouteProxy(route.proxy, route.bypass, scheme, host);
    if (route.accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY) return std::wstring();
    ScriptAnswer machine;  // the same strings to free
    if (!WinHttpGetDefaultProxyConfiguration(&machine.info)) return std::wstring();
    if (machine.info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !machine.info.lpszProxy) return std::wstring();
    return NamedRouteProxy(machine.info.lpszProxy, machine.info.lpszProxyBypass ? machine.info.lpszProxyBypass : L"",
                           scheme, host);
  } catch (...) {
    return std::wstring();
  }
}

bool qmRouteUsesProxy(const qmProxyRoute& route, const std::wstring& scheme, const std::wstring& host) noexcept {
  return !qmRouteProxy(route, scheme, host).empty();
}

qmUserProxy& qmUserProxy::ForProcess() {
  static qmUserProxy instance;
  return instance;
}

qmUserProxy::Settings qmUserProxy::Current() {
  if (mbCurrent && mChanged && WaitForSingleObject(mChanged.get(), 0) == WAIT_TIMEOUT) return mSettings;
  mbCurrent = false;
  // The watch is set before the settings are read, so a change made while
  // they are read is not missed. Without a watch they are read every time.
  if (!mChanged) mChanged.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!mWatched) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_NOTIFY, &key) == ERROR_SUCCESS)
      mWatched.reset(key);
  }
  // The watch outlives the thread that set it where the system allows;
  // elsewhere that thread's end signals the event, and the settings are
  // then read once more by whichever thread asks next.
  const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
  const bool watched =
      mChanged && mWatched &&
      (RegNotifyChangeKeyValue(mWatched.get(), TRUE, filter | REG_NOTIFY_THREAD_AGNOSTIC, mChanged.get(), TRUE) ==
           ERROR_SUCCESS ||
       RegNotifyChangeKeyValue(mWatched.get(), TRUE, filter, mChanged.get(), TRUE) == ERROR_SUCCESS);
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
  return mSettings;
}

// Routes that a script or automatic detection gave, for every thread of the
// process: a job's requests, and the objects a client makes one after
// another, ask for the same hosts. The lock is never held across a WinHTTP
// call.
struct qmRouteCache {
  static constexpr ULONGLONG kLifetimeMs = 5 * 60 * 1000;
  static constexpr size_t kMaxEntries = 256;
  struct Entry {
    std::wstring key;  // scheme "://" host, in lower case
    qmProxyRoute route;
    ULONGLONG expires;
  };
  SRWLOCK lock = SRWLOCK_INIT;
  qmUserProxy::Settings settings;  // the settings the entries were looked up under
  std::vector<Entry> entries;

  static qmRouteCache& Instance() {
    static qmRouteCache cache;
    return cache;
  }
  // The kept route for key under settings; false when there is none (any
  // kept under other settings are dropped).
  bool Find(const qmUserProxy::Settings& current, const std::wstring& key, qmProxyRoute& route) {
    qmExclusiveLock held(lock);
    bool found = false;
    try {
      if (!(settings == current)) {
        entries.clear();
        settings = current;
      }
      const ULONGLONG now = GetTickCount64();
      for (const Entry& entry : entries)
        if (entry.key == key && now < entry.expires) {
          route = entry.route;
          found = true;
          break;
        }
    } catch (...) {
      entries.clear();
    }
    return found;
  }
  void Keep(const qmUserProxy::Settings& current, const std::wstring& key, const qmProxyRoute& route) {
    qmExclusiveLock held(lock);
    try {
      if (settings == current) {
        const ULONGLONG now = GetTickCount64();
        std::erase_if(entries, [&](const Entry& entry) { return entry.key == key || now >= entry.expires; });
        if (entries.size() >= kMaxEntries) entries.erase(entries.begin());  // the oldest
        entries.push_back(Entry{key, route, now + kLifetimeMs});
      }
    } catch (...) {
      // Not kept then; the next request looks it up again.
    }
  }
};

qmProxyRoute qmUserProxy::LookUp(const Settings& settings, const std::wstring& url) {
  qmProxyRoute route;
  // As Windows does it: a script first, the fixed proxy when no script
  // answers, the machine's setting when the user has neither.
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (settings.autoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!settings.script.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = settings.script.c_str();
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
  if (!settings.proxy.empty()) {
    route.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    route.proxy = settings.proxy;
    route.bypass = settings.bypass;
  }
  return route;
}

qmProxyRoute qmUserProxy::Route(const std::wstring& url) noexcept {
  try {
    Settings settings;
    {
      qmExclusiveLock held(mLock);
      try {
        settings = Current();
      } catch (...) {
        mbCurrent = false;  // read them again next time
        throw;
      }
    }
    const bool scripted = settings.autoDetect || !settings.script.empty();
    qmOrigin origin;
    if (!scripted || !qmOriginOf(url, origin)) return LookUp(settings, url);
    // A script may answer each URL differently; per scheme and host is how
    // far the answers are kept.
    const std::wstring key = origin.scheme + L"://" + origin.host;
    qmRouteCache& cache = qmRouteCache::Instance();
    qmProxyRoute route;
    if (cache.Find(settings, key, route)) return route;
    route = LookUp(settings, url);
    cache.Keep(settings, key, route);
    return route;
  } catch (...) {
    // Out of memory for a few strings: the machine's setting still serves.
    return qmProxyRoute{};
  }
}

}  // namespace korvanet

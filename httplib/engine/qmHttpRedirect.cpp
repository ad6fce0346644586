#include "qmHttpRedirect.h"

#include <winhttp.h>

#include <algorithm>

#include "qmHttpHeaders.h"

namespace korvanet {

std::wstring qmFollowRedirect(DWORD status, const std::wstring& location, int redirects,
                              const qmOrigin& firstOrigin, qmHttpSettings& settings) {
  const bool keepsVerb = status == HTTP_STATUS_REDIRECT_KEEP_VERB || status == 308;
  if (!keepsVerb && status != HTTP_STATUS_MOVED && status != HTTP_STATUS_REDIRECT &&
      status != HTTP_STATUS_REDIRECT_METHOD)
    return std::wstring();
  if (redirects >= kMaxRedirects || location.empty()) return std::wstring();
  const std::wstring target = qmResolveLocation(settings.url, location);
  qmOrigin from, to;
  // Not followed, as the engine would not either: a Location that is no
  // http(s) URL, and one from https to http, which would expose the request.
  if (!qmOriginOf(settings.url, from) || !qmOriginOf(target, to)) return std::wstring();
  if (from.scheme == L"https" && to.scheme == L"http") return std::wstring();
  if (!(to == firstOrigin)) {
    // What the client meant for one origin is not sent to another; a Host
    // of its own would send the request to the old site's name.
    std::erase_if(settings.headers, [](const auto& header) {
      return qmSameHeaderName(header.first, L"Authorization") || qmSameHeaderName(header.first, L"Cookie") ||
             qmSameHeaderName(header.first, L"Host");
    });
  }
  // 303, and 301/302 after a POST as browsers do it, continue as a GET
  // without body, and so without the body's type.
  if (!keepsVerb && (status == HTTP_STATUS_REDIRECT_METHOD || settings.verb == L"POST") &&
      settings.verb != L"HEAD") {
    settings.verb = L"GET";
    settings.body.clear();
    settings.bodyParts.clear();
    settings.contentType.clear();
    std::erase_if(settings.headers,
                  [](const auto& header) { return qmSameHeaderName(header.first, L"Content-Type"); });
  }
  settings.url = target;
  return target;
}

}  // namespace korvanet

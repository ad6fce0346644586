// Which redirects a request follows and what it takes along: decided from
// the status, the Location and the request alone, before anything is sent.
#pragma once

#include <windows.h>

#include <string>

#include "qmHttpSettings.h"
#include "qmHttpUrl.h"

namespace korvanet {

constexpr int kMaxRedirects = 10;  // as WinHTTP's own limit

// For a response with `status` and `location` to the request in settings,
// the absolute URL to go on with, or empty when the response is the answer.
// `redirects` is how many were followed so far. When a target is returned,
// settings is the next request: what the client meant for firstOrigin is
// dropped on the way to another origin, and a request that continues as a
// GET has lost its body.
std::wstring qmFollowRedirect(DWORD status, const std::wstring& location, int redirects,
                              const qmOrigin& firstOrigin, qmHttpSettings& settings);

}  // namespace korvanet

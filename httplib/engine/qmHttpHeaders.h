// The header lines a request sends: the client's own, the library's
// defaults, and the rule that some names go out exactly once.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qmHttpSettings.h"

namespace korvanet {

using qmHeaderLines = std::vector<std::pair<std::wstring, std::wstring>>;

// Header names compare without regard to case, as HTTP has them.
bool qmSameHeaderName(const std::wstring& a, const std::wstring& b);

// The names that the library or the engine send by themselves: a client's
// line of such a name replaces theirs, and exactly one line goes out.
bool qmIsSingleHeader(const std::wstring& name);

// The header lines of a request: the client's own, in the order added (the
// last of a single name wins), then sAccept and sAcceptEncoding, then the
// library's defaults where the client gave no line of that name.
qmHeaderLines qmRequestHeaderLines(const qmHttpSettings& settings);

}  // namespace korvanet

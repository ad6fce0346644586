#include "qmHttpHeaders.h"

#include <windows.h>

#include <algorithm>

namespace korvanet {
namespace {

// Sets the one line of a single name, wherever a line of that name stood.
void PutSingle(qmHeaderLines& lines, const std::wstring& name, const std::wstring& value) {
  std::erase_if(lines, [&](const auto& line) { return qmSameHeaderName(line.first, name); });
  lines.emplace_back(name, value);
}

bool HasHeader(const qmHeaderLines& lines, const wchar_t* name) {
  return std::any_of(lines.begin(), lines.end(), [&](const auto& line) { return qmSameHeaderName(line.first, name); });
}

}  // namespace

bool qmSameHeaderName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

bool qmIsSingleHeader(const std::wstring& name) {
  for (const wchar_t* single : {L"Accept", L"Accept-Encoding", L"Content-Type", L"User-Agent", L"Host"})
    if (qmSameHeaderName(name, single)) return true;
  return false;
}

qmHeaderLines qmRequestHeaderLines(const qmHttpSettings& settings) {
  qmHeaderLines lines;
  for (const auto& [name, value] : settings.headers) {
    if (qmIsSingleHeader(name)) {
      PutSingle(lines, name, value);
    } else {
      lines.emplace_back(name, value);
    }
  }
  if (!settings.accept.empty()) PutSingle(lines, L"Accept", settings.accept);
  // The library decodes gzip and deflate itself, so it offers them unless told otherwise.
  if (!settings.acceptEncoding.empty()) {
    PutSingle(lines, L"Accept-Encoding", settings.acceptEncoding);
  } else if (!HasHeader(lines, L"Accept-Encoding")) {
    lines.emplace_back(L"Accept-Encoding", L"gzip, deflate");
  }
  // A multipart body is only readable with its own boundary; the type of
  // any other body the library built is a default.
  if (!settings.contentType.empty() &&
      (settings.contentType.starts_with(L"multipart/") || !HasHeader(lines, L"Content-Type")))
    PutSingle(lines, L"Content-Type", settings.contentType);
  return lines;
}

}  // namespace korvanet

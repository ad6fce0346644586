#include "qmHttpUrl.h"

#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace korvanet {

int qmHexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

namespace {

// %XX sequences are UTF-8 bytes; anything else stands for itself.
std::wstring PercentDecode(const std::wstring& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'%' && i + 2 < text.size() && qmHexDigit(text[i + 1]) >= 0 && qmHexDigit(text[i + 2]) >= 0) {
      bytes += static_cast<char>(qmHexDigit(text[i + 1]) * 16 + qmHexDigit(text[i + 2]));
      i += 2;
    } else {
      wchar_t c = text[i];
      int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, nullptr, 0, nullptr, nullptr);
      std::string piece(static_cast<size_t>(n > 0 ? n : 0), '\0');
      if (n > 0) WideCharToMultiByte(CP_UTF8, 0, &c, 1, piece.data(), n, nullptr, nullptr);
      bytes += piece;
    }
  }
  if (bytes.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

// Where the authority of "scheme://authority/..." begins and ends; npos
// when the URL has none.
bool FindAuthority(const std::wstring& url, size_t& begin, size_t& end) {
  const size_t scheme = url.find(L"://");
  if (scheme == std::wstring::npos) return false;
  begin = scheme + 3;
  end = url.find_first_of(L"/?#", begin);
  if (end == std::wstring::npos) end = url.size();
  return true;
}

}  // namespace

std::wstring qmSplitUserInfo(const std::wstring& url, std::wstring& user, std::wstring& password) {
  user.clear();
  password.clear();
  size_t begin = 0, end = 0;
  if (!FindAuthority(url, begin, end)) return url;
  const size_t at = url.rfind(L'@', end == 0 ? 0 : end - 1);
  if (at == std::wstring::npos || at < begin) return url;
  const std::wstring info = url.substr(begin, at - begin);
  const size_t colon = info.find(L':');
  user = PercentDecode(info.substr(0, colon));
  if (colon != std::wstring::npos) password = PercentDecode(info.substr(colon + 1));
  return url.substr(0, begin) + url.substr(at + 1);
}

bool qmOriginOf(const std::wstring& url, qmOrigin& origin) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  origin.scheme = parts.nScheme == INTERNET_SCHEME_HTTPS ? L"https" : L"http";
  origin.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  CharLowerBuffW(origin.host.data(), static_cast<DWORD>(origin.host.size()));
  origin.port = parts.nPort;
  return true;
}

std::wstring qmResolveLocation(const std::wstring& base, const std::wstring& location) {
  // An absolute URL: a scheme of letters, digits, + - . before the first colon.
  const size_t colon = location.find(L':');
  if (colon != std::wstring::npos && colon > 0 &&
      std::all_of(location.begin(), location.begin() + static_cast<std::ptrdiff_t>(colon), [](wchar_t c) {
        return std::iswalnum(c) || c == L'+' || c == L'-' || c == L'.';
      }) &&
      location.find_first_of(L"/?#") > colon)
    return location;
  size_t begin = 0, end = 0;
  if (!FindAuthority(base, begin, end)) return location;
  const std::wstring scheme = base.substr(0, begin - 3);
  if (location.starts_with(L"//")) return scheme + L":" + location;
  const std::wstring root = base.substr(0, end);
  if (location.starts_with(L"/")) return root + location;
  const size_t query = base.find_first_of(L"?#", end);
  const std::wstring path = base.substr(end, query == std::wstring::npos ? std::wstring::npos : query - end);
  if (location.empty()) return base.substr(0, base.find(L'#'));
  if (location.starts_with(L"?")) return root + path + location;
  if (location.starts_with(L"#")) return base.substr(0, base.find(L'#')) + location;
  const size_t slash = path.rfind(L'/');
  return root + (slash == std::wstring::npos ? std::wstring(L"/") : path.substr(0, slash + 1)) + location;
}

bool qmIsMethodToken(const std::wstring& method) {
  if (method.empty()) return false;
  for (wchar_t c : method) {
    const bool alnum = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    if (!alnum && (c == L'\0' || !std::wcschr(L"!#$%&'*+-.^_`|~", c))) return false;
  }
  return true;
}

}  // namespace korvanet

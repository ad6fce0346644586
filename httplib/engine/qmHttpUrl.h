// What a request URL means beyond WinHTTP's cracking: the user information
// it may carry, the origin that credentials belong to, and where a redirect's
// Location leads from it.
#pragma once

#include <windows.h>

#include <string>

namespace korvanet {

// The URL without "user:password@"; user and password receive that part,
// percent-decoded (UTF-8), or empty texts when there is none.
std::wstring qmSplitUserInfo(const std::wstring& url, std::wstring& user, std::wstring& password);

// Scheme, host and port, as the web compares them: the scheme and host
// without regard to case, the port with the scheme's default filled in.
struct qmOrigin {
  std::wstring scheme;
  std::wstring host;
  WORD port = 0;
  bool operator==(const qmOrigin&) const = default;
};

// The value of a hexadecimal digit, or -1 for any other character.
int qmHexDigit(wchar_t c);

// False when the URL is no http or https URL.
bool qmOriginOf(const std::wstring& url, qmOrigin& origin);

// The absolute URL a Location header names, relative to the URL it answered.
std::wstring qmResolveLocation(const std::wstring& base, const std::wstring& location);

// True for a method HTTP allows on the request line: one or more token
// characters (letters, digits and !#$%&'*+-.^_`|~).
bool qmIsMethodToken(const std::wstring& method);

}  // namespace korvanet

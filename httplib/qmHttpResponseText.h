// From response bytes to the response text: content decoding (gzip and
// deflate, which WinHTTP under Wine does not undo) and the charset.
#pragma once

#include <windows.h>

#include <string>

namespace korvanet {

// Undoes a Content-Encoding of gzip or deflate in place. Other encodings
// are left as they are. Returns 0, or ERROR_INVALID_DATA for a broken
// stream (the bytes then stay as received).
DWORD qmDecodeContent(const std::wstring& contentEncoding, std::string& body);

// The body as text: by the charset of the Content-Type; without one UTF-8
// when the bytes are valid UTF-8, else the ANSI code page.
std::wstring qmDecodeText(const std::string& body, const std::wstring& contentType);

// The code page of a charset name; 0 when unknown.
UINT qmCodePageOfCharset(const std::wstring& charset);

}  // namespace korvanet

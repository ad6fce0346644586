// From response bytes to the response text: content decoding (gzip and
// deflate, which WinHTTP under Wine does not undo) and the charset.
#pragma once

#include <windows.h>

#include <string>

namespace korvanet {

// Undoes a Content-Encoding of gzip or deflate in place. Other encodings
// are left as they are. Returns 0; ERROR_INVALID_DATA for a broken stream;
// ERROR_FILE_TOO_LARGE when the decoded bytes would exceed limit; or
// ERROR_NOT_ENOUGH_MEMORY. On failure the bytes stay as received.
DWORD qmDecodeContent(const std::wstring& contentEncoding, size_t limit, std::string& body);

// The body as text: a byte-order mark decides; else the charset of the
// Content-Type (labels mapped as web browsers map them); without
// a known one UTF-8 when the bytes are valid UTF-8, else the ANSI code page.
// May throw std::bad_alloc.
std::wstring qmDecodeText(const std::string& body, const std::wstring& contentType);

// The code page of a charset name; 0 when unknown.
UINT qmCodePageOfCharset(const std::wstring& charset);

}  // namespace korvanet

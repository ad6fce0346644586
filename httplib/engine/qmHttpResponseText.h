// From response bytes (content decoding undone, see qmHttpContentDecoder.h)
// to the response text: the charset.
#pragma once

#include <windows.h>

#include <string>

namespace korvanet {

// The body as text: a byte-order mark decides; else the charset of the
// Content-Type (labels mapped as web browsers map them); without
// a known one UTF-8 when the bytes are valid UTF-8, else the ANSI code page.
// asciiStart, when given, is the widening of the body's first bytes (all
// ASCII), taken over when the charset reads ASCII as is (see below).
// May throw std::bad_alloc.
std::wstring qmDecodeText(const std::string& body, const std::wstring& contentType,
                          std::wstring* asciiStart = nullptr);

// Whether the text of a body under this Content-Type (without a byte-order
// mark) starts with its leading ASCII bytes, each widened as it is: then a
// large body's text can be made while the rest of it arrives.
bool qmAsciiStartHolds(const std::wstring& contentType);

// The code page of a charset name; 0 when unknown.
UINT qmCodePageOfCharset(const std::wstring& charset);

}  // namespace korvanet

// Error texts and automation errors. Descriptions are the platform's own
// messages (WinHTTP's codes come from winhttp.dll), trimmed of the line end.
#pragma once

#include <windows.h>

#include <string>

namespace korvanet {

// Korvanet's own error numbers, for failures the platform has no code for
// (application codes carry bit 29, which no system code has).
// The server's certificate is not the one sServerCertSha256 names.
constexpr DWORD kErrorCertificatePin = 0x20000001;
// No certificate in the store that sClientCertificate names matches it.
constexpr DWORD kErrorClientCertificate = 0x20000002;

// The platform's message for a Win32 or WinHTTP error code, or Korvanet's
// own text for its own numbers.
std::wstring qmErrorMessage(DWORD code);

// The error number a script sees for an HRESULT: the Win32 code for
// HRESULT_FROM_WIN32 values, the low word for VB-style errors, else the HRESULT.
long qmErrorNumber(HRESULT hr);

// HRESULT of a Win32 or WinHTTP error code.
inline HRESULT qmHresultFromCode(DWORD code) { return HRESULT_FROM_WIN32(code); }

// Sets the thread's IErrorInfo (source = ProgID, the description, the
// interface) and returns hr, for a COM method to return.
HRESULT qmRaise(HRESULT hr, const std::wstring& description, const wchar_t* source, REFIID iid);

// The same for a Win32/WinHTTP code with the platform's message.
HRESULT qmRaiseCode(DWORD code, const wchar_t* source, REFIID iid);

}  // namespace korvanet

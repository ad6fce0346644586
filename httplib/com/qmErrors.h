// Error texts and automation errors. Descriptions are the platform's own
// messages (WinHTTP's codes come from winhttp.dll), trimmed of the line end.
#pragma once

#include <windows.h>

#include <string>

namespace korvanet {

// The platform's message for a Win32 or WinHTTP error code.
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

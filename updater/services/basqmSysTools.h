// Small queries of the system the updater runs on.
#pragma once

#include <string>

// The computer's NetBIOS name, or the empty text when it cannot be read.
[[nodiscard]] std::wstring GetComputerNameText();

// The system's message text for a Win32 error code, without the line break
// that FormatMessage puts at its end; "Fehler <code>" when the system has no
// text for it.
[[nodiscard]] std::wstring SystemErrorText(unsigned long dwError);

// The Windows system folder ("C:\Windows\System32"), without a trailing
// backslash; empty when it cannot be read.
[[nodiscard]] std::wstring GetSystemFolder();

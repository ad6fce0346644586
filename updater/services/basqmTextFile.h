// Text files in the system ANSI code page, as the updater writes them.
#pragma once

#include <string>

// Creates or overwrites sPath with sText in the system ANSI code page
// (characters the code page lacks become its default character). Returns 0
// or the Win32 error of the step that failed; a failed write leaves the
// file incomplete.
[[nodiscard]] unsigned long WriteAnsiFile(const std::wstring& sPath, const std::wstring& sText);

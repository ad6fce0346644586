// Text files in the system ANSI code page, as the updater writes them.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Creates or overwrites sPath with sText in the system ANSI code page
// (characters the code page lacks become its default character). Returns 0
// or the Win32 error of the step that failed; a failed write leaves the
// file incomplete.
[[nodiscard]] unsigned long WriteAnsiFile(const std::wstring& sPath, const std::wstring& sText);

// Writes sText in the system ANSI code page to an open file or pipe (the
// standard output of an unattended check). Returns 0 or the Win32 error.
[[nodiscard]] unsigned long WriteAnsiText(HANDLE file, const std::wstring& sText);

// The same for a file that another program reads: the text is written to
// sPath + ".tmp" and then moved over sPath in one step. A failed write
// leaves sPath as it was (the old file, or none) and no temporary file. A
// read-only sPath is refused (ERROR_ACCESS_DENIED); a read-only temporary
// file left by an earlier write is overwritten.
[[nodiscard]] unsigned long ReplaceAnsiFile(const std::wstring& sPath, const std::wstring& sText);

// True when every character of sText has its own byte sequence in the system
// ANSI code page: written with WriteAnsiFile it reads back unchanged, with
// no default character and no "best fit" look-alike in its place.
[[nodiscard]] bool bFitsAnsiCodePage(std::wstring_view sText);

// The disk as the writers above see it: WriteFile, or a stand-in that tests
// use to fail the way a full disk does (nullptr: WriteFile again).
using tWriteFileFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
void SetTextFileWriter(tWriteFileFn pfnWriteFile);

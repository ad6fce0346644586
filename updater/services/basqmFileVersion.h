// Version resources of executable files, and the decision whether a file
// is to replace another by its version.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct tFileVersion {
  std::wstring sFileName;     // the path after its last backslash
  std::wstring sFileType;     // German text for dwFileType, may be empty
  std::wstring sFileVersion;  // "major.minor.build.revision", unsigned decimal
  std::wstring sFullPath;     // the path as passed in
  unsigned long dwError = 0;  // why the file could not be read; 0 when it was, or has no version resource
};

// A missing file, one without a version resource or one that cannot be
// read gives "0.0.0.0" and the type "Unbekannt"; dwError tells the last
// from the others.
[[nodiscard]] tFileVersion GetFileVersion(const std::wstring& sFilePath);

// True when the source is to replace the target: when either is not an
// existing normal file (hidden and system files count as absent), or when
// the source's version is higher. Versions are compared as four unsigned
// 16-bit numbers, major first, so 1.10 is newer than 1.9. When the versions
// cannot be read at all (version.dll cannot be loaded) the answer is true
// too, and *pdwError (when given) says why. When one file's version cannot
// be read (held open without read sharing, no right to read it; a file
// without a version resource is no such case) the answer is false,
// *pdwError says why and *psUnreadablePath names the file. Otherwise
// *pdwError is set to 0.
[[nodiscard]] bool bIsNewerFile(const std::wstring& sSourcePath, const std::wstring& sTargetPath,
                                unsigned long* pdwError = nullptr, std::wstring* psUnreadablePath = nullptr);

// How version.dll is loaded: LoadLibraryExW, or a stand-in with which tests
// play a system whose loader lacks LOAD_LIBRARY_SEARCH_SYSTEM32 or cannot
// load the library at all (nullptr: LoadLibraryExW again). The library is
// loaded anew at the next use.
using tLoadLibraryExFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
void SetVersionLibraryLoader(tLoadLibraryExFn pfnLoadLibraryEx);

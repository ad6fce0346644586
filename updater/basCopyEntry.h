// "copy" entries: a file from the updater's folder into the installation,
// with the version decision of components, the Access lock rule, the
// add-in fragment and the registration, and the replacement at the next
// restart of a file that another program holds open.
#pragma once

#include "TrevalonJob.h"
#include "tRunValues.h"

#include <string>

void CopyEntry(const TrevalonJob& job, tRunValues& run);

// The rules a copy follows by the last four characters of the file name:
// ".mda"/".mde" Access libraries, ".dll"/".ocx" components, any case.
enum class tFileClass { kPlain, kAccess, kComponent };
[[nodiscard]] tFileClass FileClassOf(const std::wstring& sFile);

// A copy refuses a target with one of these attributes (access denied).
inline constexpr unsigned long kUntouchableTarget = 0x1 | 0x2 | 0x4;  // read-only, hidden, system

// What a copy entry reports when source and target are one file (no line
// break).
inline constexpr wchar_t kSameFileText[] = L"   --> Quelle und Ziel sind dieselbe Datei, nichts zu kopieren";

// Why a component is not copied when the version of sPath cannot be read.
[[nodiscard]] std::wstring VersionUnreadableText(const std::wstring& sPath, unsigned long dwError);

// The Access lock file of the library sFile (an Access-class name) in the
// folder sTarget.
[[nodiscard]] std::wstring LockFileOf(const std::wstring& sTarget, const std::wstring& sFile);

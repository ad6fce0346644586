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

// The Access lock file of the library sFile (an Access-class name) in the
// folder sTarget.
[[nodiscard]] std::wstring LockFileOf(const std::wstring& sTarget, const std::wstring& sFile);

// What a copy entry reports for a file whose replacement waits for the
// next restart (no line break: " - erfolgreich " follows).
inline constexpr wchar_t kReplacedAtRestartText[] = L"   --> Datei in Benutzung, wird beim nächsten Neustart ersetzt";

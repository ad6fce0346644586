// What the run's entries leave for the next restart, and what they take
// back from it: a file written or deleted directly must not be replaced by
// an older one that an earlier run left waiting.
#pragma once

#include "tRunValues.h"

#include <string>

// What a copy entry reports for a file whose replacement waits for the
// next restart (no line break: " - erfolgreich " follows).
inline constexpr wchar_t kReplacedAtRestartText[] = L"   --> Datei in Benutzung, wird beim nächsten Neustart ersetzt";

// What an entry reports when it took back such a replacement of an earlier
// run (no line break).
inline constexpr wchar_t kReplacementCancelledText[] = L"   --> beim Neustart geplante Ersetzung aufgehoben";

// After sTarget was written or deleted directly: cancels what an earlier
// run scheduled for it (the waiting file, its rename and its registration
// at the restart) and says so; a failure to do that fails the entry.
void CancelEarlierReplacement(tRunValues& run, const std::wstring& sTarget);

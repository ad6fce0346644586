// The one failure report of the run's entries and of the configuration
// update: the step's failure goes into the message text and the entry goes
// on as its own operation says.
#pragma once

#include "tRunValues.h"

#include <string>

// Appends " - fehlgeschlagen " CR LF "Fehlermeldung: " + sDescription (no
// line break: the next message continues the line) and marks the entry as
// failed.
void ReportFailure(tRunValues& run, const std::wstring& sDescription);

// The same with the system's message text for a Win32 error code.
void ReportSystemFailure(tRunValues& run, unsigned long dwError);

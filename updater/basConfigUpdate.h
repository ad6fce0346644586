// The Office Line configuration update: revision and owner entries, the
// add-in fragments of copied Access libraries, and at the end of the run
// the file in "Shared\ConfigUpdates" and the start of Office Line's tool.
#pragma once

#include "TrevalonJob.h"
#include "tRunValues.h"

#include <string>

void RevisionEntry(const TrevalonJob& job, tRunValues& run);
void OwnerEntry(const TrevalonJob& job, tRunValues& run);

// Announces the library sFile (copied into the work folder) for the
// application area sApp. False, reported as a failure of the entry, when
// the ANSI file cannot hold the name or the area: nothing is appended then.
[[nodiscard]] bool AppendAddinFragment(tRunValues& run, const std::wstring& sFile, const std::wstring& sApp);

// Writes the file and starts the tool; nothing when no copy entry asked
// for it (run.bConfigNeeded).
void WriteConfigUpdate(tRunValues& run);

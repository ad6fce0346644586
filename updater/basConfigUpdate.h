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

// The parts of the end-of-run step, for the step and for the check:
// whether the revision is missing where it is needed, the file's path and
// its full text (the owner placeholder filled), whether the owner key makes
// a file name, the tool's path and command line, and whether the tool is
// started (not from the development folder).
[[nodiscard]] bool bRevisionMissing(const tRunValues& run);
[[nodiscard]] std::wstring ConfigUpdatePath(const tRunValues& run);
[[nodiscard]] std::wstring ConfigUpdateText(const tRunValues& run);
[[nodiscard]] bool bConfigOwnerKeyIsValid(const tRunValues& run);
[[nodiscard]] std::wstring ConfigToolPath(const tRunValues& run);
[[nodiscard]] std::wstring ConfigToolCommandLine(const tRunValues& run);
[[nodiscard]] bool bStartsConfigTool(const tRunValues& run);

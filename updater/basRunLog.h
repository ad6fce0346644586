// The run log: the whole message text in "log_" + computer name + ".txt"
// beside the updater, when the script asks for it.
#pragma once

#include "tRunValues.h"

// Writes the log when run.bLog is set. Never fails and reports nothing: a
// log that cannot be written is left unwritten or incomplete.
void WriteRunLog(const tRunValues& run);

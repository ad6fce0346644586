// "del" entries: delete a file, or every file matching a pattern, in a
// target folder.
#pragma once

#include "TrevalonJob.h"
#include "tRunValues.h"

void DeleteEntry(const TrevalonJob& job, tRunValues& run);

// "copy" entries: a file from the updater's folder into a folder of the
// installation, with the Access lock rule, the component version decision,
// the add-in announcement and the registration of components.
#pragma once

#include "TrevalonJob.h"
#include "tRunValues.h"

void CopyEntry(const TrevalonJob& job, tRunValues& run);

// "del" entries: delete a file, or every file matching a pattern, in a
// target folder.
#pragma once

#include "TrevalonJob.h"
#include "tRunValues.h"

#include <string>
#include <vector>

void DeleteEntry(const TrevalonJob& job, tRunValues& run);

// The normal files (not hidden, not system, no folders) that sPattern
// matches, as full paths: what a "del" entry deletes.
[[nodiscard]] std::vector<std::wstring> MatchingFiles(const std::wstring& sPattern);

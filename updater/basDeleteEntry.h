// "del" entries: delete a file, or every file matching a pattern, in a
// target folder.
#pragma once

#include "TrevalonJob.h"
#include "tRunValues.h"

#include <string>
#include <string_view>
#include <vector>

void DeleteEntry(const TrevalonJob& job, tRunValues& run);

// The normal files (not hidden, not system, no folders) that sPattern
// matches, as full paths: what a "del" entry deletes.
[[nodiscard]] std::vector<std::wstring> MatchingFiles(const std::wstring& sPattern);

// Whether a file that a directory search for sPattern (a name with "*" and
// "?", no folder) found may be taken: Windows also matches the 8.3 short
// name, so on volumes with short names "*.tmp" finds "Vorlage.tmpl"
// (VORLAG~1.TMP) and "*.xls" every "*.xlsx". A file with a short name is
// taken only when its long name fits the pattern; without a short name the
// search matched the long name itself.
[[nodiscard]] bool bLongNameFits(std::wstring_view sLongName, std::wstring_view sShortName,
                                 std::wstring_view sPattern);

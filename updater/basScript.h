// Reading Trevalon.ini from the updater's folder into the entry list.
#pragma once

#include "TrevalonJob.h"

#include <windows.h>

#include <cstddef>
#include <string>

enum class tScriptStatus {
  kRead,         // the whole script was read
  kMissing,      // the file cannot be opened (missing, locked, no access)
  kUnreadable,   // opened, but reading failed: dwError says why
  kOpenQuote,    // a double quote is never closed: nOpenQuoteLine says where
};

struct tScriptResult {
  tScriptStatus status = tScriptStatus::kMissing;
  DWORD dwError = 0;
  size_t nOpenQuoteLine = 0;
};

// Reads sUpdaterFolder + "\Trevalon.ini". The file is single-byte text in
// the system ANSI code page. On any status but kRead, script is left empty:
// a script that cannot be read completely is not executed in part.
[[nodiscard]] tScriptResult ReadScript(const std::wstring& sUpdaterFolder, tTrevalonScript& script);

// The entries and settings of a script's bytes (the part of ReadScript
// after the file has been read); the benchmark and tests use it directly.
[[nodiscard]] tScriptResult ParseScript(std::string_view bytes, tTrevalonScript& script);

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
  kNulBytes,     // NUL bytes: Unicode saved without byte-order mark, or no text at all
  kBadEncoding,  // a byte-order mark, but the text after it is not valid in its encoding
};

// How the script's bytes are text, told by the byte-order mark at its start.
enum class tScriptEncoding { kAnsi, kUtf8, kUtf16LE, kUtf16BE };

struct tScriptResult {
  tScriptStatus status = tScriptStatus::kMissing;
  DWORD dwError = 0;
  size_t nOpenQuoteLine = 0;
  tScriptEncoding encoding = tScriptEncoding::kAnsi;
};

// Reads sUpdaterFolder + "\Trevalon.ini". A script that starts with a
// byte-order mark is read in that encoding (UTF-8, UTF-16LE, UTF-16BE, as
// Notepad and PowerShell save "Unicode"); without one it is single-byte text
// in the system ANSI code page, where a NUL byte means the file is something
// else and is refused. On any status but kRead, script is left empty: a
// script that cannot be read completely is not executed in part.
[[nodiscard]] tScriptResult ReadScript(const std::wstring& sUpdaterFolder, tTrevalonScript& script);

// The entries and settings of a script's bytes (the part of ReadScript
// after the file has been read); the benchmark and tests use it directly.
[[nodiscard]] tScriptResult ParseScript(std::string_view bytes, tTrevalonScript& script);

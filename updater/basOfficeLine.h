// Finding the Office Line installation the script names (its registry key
// and folders), and the target folder of each entry.
#pragma once

#include "TrevalonJob.h"
#include "clsqmSysRegistry.h"
#include "tRunValues.h"

#include <string>

// The key every registry access falls back to when the version code names
// no known installation.
inline constexpr wchar_t kFallbackOLRegKey[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\KHK\\Office Line\\3.3";

// The installation key for a version code ("520" shares the 5.1 key);
// empty for a code that is not known.
[[nodiscard]] std::wstring OLRegKeyOf(const std::wstring& sVersion);

// Sets the fallback key when no key has been chosen yet, and creates the
// shared registry object on first use.
void PrepareRegistry(tTrevalonModule& module);

// A base key without the root name that may stand at its first or second
// character ("HKEY_LOCAL_MACHINE\", "\HKEY_CURRENT_USER\"): every access
// goes below HKEY_LOCAL_MACHINE.
[[nodiscard]] std::wstring StripRootName(std::wstring sBaseKey);

// The value below HKEY_LOCAL_MACHINE\sBaseKey[\sSubKey] (sBaseKey empty:
// the installation key) as text: numbers in decimal, empty when it cannot
// be read.
[[nodiscard]] std::wstring GetRegValue(tTrevalonModule& module, const std::wstring& sSubKey,
                                       const std::wstring& sValueName, const std::wstring& sBaseKey);

// Chooses the installation key from run.sVersion and reads sOLRoot,
// sWinRoot and sAccessRoot.
void FindOfficeLine(tRunValues& run);

// Before an entry runs: replaces "<OLRoot>" and "<OLPath>" in sFile, sValue
// and sPath, and resolves run.sTarget from sPath.
void PrepareEntry(TrevalonJob& job, tRunValues& run);

// The target folder for a folder keyword (or the text itself when it is
// none).
[[nodiscard]] std::wstring TargetFolderOf(const std::wstring& sPath, const tRunValues& run);

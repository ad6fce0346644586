#include "basDeleteEntry.h"

#include "basBackup.h"
#include "basFailureReport.h"
#include "basRestartWork.h"
#include "basqmRestart.h"
#include "basqmFiles.h"
#include "basqmSysTools.h"
#include "qmHandle.h"

#include <windows.h>

#include <vector>

namespace {

bool bSameChar(wchar_t a, wchar_t b) { return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL; }

// "*" any run of characters (dots too), "?" one character, any case.
bool bFitsWildcards(std::wstring_view sName, std::wstring_view sPattern) {
  size_t name = 0, pattern = 0;
  size_t starPattern = std::wstring_view::npos, starName = 0;
  while (name < sName.size()) {
    if (pattern < sPattern.size() && sPattern[pattern] == L'*') {
      starPattern = pattern++;
      starName = name;
    } else if (pattern < sPattern.size() && (sPattern[pattern] == L'?' || bSameChar(sPattern[pattern], sName[name]))) {
      ++pattern;
      ++name;
    } else if (starPattern != std::wstring_view::npos) {
      pattern = starPattern + 1;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (pattern < sPattern.size() && sPattern[pattern] == L'*') ++pattern;
  return pattern == sPattern.size();
}

}  // namespace

bool bLongNameFits(std::wstring_view sLongName, std::wstring_view sShortName, std::wstring_view sPattern) {
  if (sShortName.empty() || sPattern == L"*.*") return true;
  return bFitsWildcards(sLongName, sPattern);
}

std::vector<std::wstring> MatchingFiles(const std::wstring& sPattern) {
  std::vector<std::wstring> files;
  const size_t slash = sPattern.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : sPattern.substr(0, slash + 1);
  const std::wstring namePattern = slash == std::wstring::npos ? sPattern : sPattern.substr(slash + 1);
  // A file waiting to replace another at the next restart (ours, beside a
  // component in use, or another installer's) is not the entry's to take:
  // "*.tmp" would undo the replacement.
  const std::vector<tPendingRename> renames = PendingRenamesAtRestart();
  WIN32_FIND_DATAW data{};
  qmUniqueFind find(FindFirstFileW(sPattern.c_str(), &data));
  if (!find) return files;
  constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  do {
    if ((data.dwFileAttributes & kNotNormal) != 0) continue;
    if (!bLongNameFits(data.cFileName, data.cAlternateFileName, namePattern)) continue;
    std::wstring file = folder + data.cFileName;
    if (!bIsPendingFile(file, renames)) files.push_back(std::move(file));
  } while (FindNextFileW(find.get(), &data));
  return files;
}

void DeleteEntry(const TrevalonJob& job, tRunValues& run) {
  run.txtInfo.Append(L"Lösche: " + job.sFile);
  // An empty target folder would make the pattern match in the root of the
  // current drive.
  if (run.sTarget.empty()) {
    ReportSystemFailure(run, ERROR_PATH_NOT_FOUND);
    return;
  }
  const std::wstring path = run.sTarget + L"\\" + job.sFile;
  if (!bFileExists(path)) {
    run.txtInfo.Append(L"Datei: " + run.sTarget + L"\\" + job.sFile + L" nicht vorhanden, insofern erfolgreich \r\n");
    return;
  }
  // Collected first, so the search does not see its own deletions. Every
  // match is tried: one file that cannot go (read-only, in use) does not
  // keep the others, and each failure names its file when a pattern
  // matched several.
  const bool bPattern = job.sFile.find_first_of(L"*?") != std::wstring::npos;
  for (const std::wstring& file : MatchingFiles(path)) {
    if (const unsigned long error = BackupFile(run, file); error != ERROR_SUCCESS) {
      ReportFailure(run, bPattern ? file + L": " + BackupFailureText(error) : BackupFailureText(error));
      continue;
    }
    if (!DeleteFileW(file.c_str())) {
      const std::wstring reason = SystemErrorText(GetLastError());
      ReportFailure(run, bPattern ? file + L": " + reason : reason);
      continue;
    }
    // Deleted now, it must stay deleted after the restart.
    CancelEarlierReplacement(run, file);
  }
  if (!run.bEntryFailed) run.txtInfo.Append(L" - erfolgreich \r\n");
}

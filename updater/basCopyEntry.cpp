#include "basCopyEntry.h"

#include "basBackup.h"
#include "basComponentRegistration.h"
#include "basConfigUpdate.h"
#include "basFailureReport.h"
#include "basRestartWork.h"
#include "basScriptText.h"
#include "basqmFileVersion.h"
#include "basqmFiles.h"
#include "basqmRestart.h"
#include "basqmSysTools.h"
#include "qmHandle.h"

#include <windows.h>

tFileClass FileClassOf(const std::wstring& sFile) {
  if (sFile.size() < 4) return tFileClass::kPlain;
  std::wstring_view extension = std::wstring_view(sFile).substr(sFile.size() - 4);
  if (bSameText(extension, L".mda") || bSameText(extension, L".mde")) return tFileClass::kAccess;
  if (bSameText(extension, L".dll") || bSameText(extension, L".ocx")) return tFileClass::kComponent;
  return tFileClass::kPlain;
}

std::wstring VersionUnreadableText(const std::wstring& sPath, unsigned long dwError) {
  return L"Version von " + sPath + L" nicht lesbar: " + SystemErrorText(dwError);
}

std::wstring LockFileOf(const std::wstring& sTarget, const std::wstring& sFile) {
  return sTarget + L"\\" + sFile.substr(0, sFile.size() - 4) + L".ldb";
}

namespace {

// How a copy step ended.
enum class tCopyOutcome { kCopied, kFailed, kScheduled };

tCopyOutcome CopyStep(tRunValues& run, const std::wstring& sSource, const std::wstring& sTarget) {
  // An empty target folder would put the file into the root of the current
  // drive: refuse it like a folder that does not exist.
  if (run.sTarget.empty()) {
    ReportSystemFailure(run, ERROR_PATH_NOT_FOUND);
    return tCopyOutcome::kFailed;
  }
  // A read-only, hidden or system target stays as it is: Windows' CopyFileW
  // refuses it, and Wine's would overwrite it, so the run asks itself, as
  // the check does.
  const DWORD attributes = GetFileAttributesW(sTarget.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kUntouchableTarget) != 0) {
    ReportSystemFailure(run, ERROR_ACCESS_DENIED);
    return tCopyOutcome::kFailed;
  }
  // What the copy replaces is kept first; without it nothing is written.
  if (const unsigned long error = BackupFile(run, sTarget); error != ERROR_SUCCESS) {
    ReportFailure(run, BackupFailureText(error));
    return tCopyOutcome::kFailed;
  }
  if (CopyFileFunction()(sSource.c_str(), sTarget.c_str(), FALSE)) {
    // The file in place now is the one this run brought: an older one that
    // an earlier run left waiting must not replace it at the restart.
    CancelEarlierReplacement(run, sTarget);
    // The copy takes the source's attributes: a file from a read-only share
    // or CD would stay read-only in the installation, and the next update
    // would be refused above.
    const DWORD copied = GetFileAttributesW(sTarget.c_str());
    if (copied == INVALID_FILE_ATTRIBUTES) {
      ReportSystemFailure(run, GetLastError());
    } else if ((copied & FILE_ATTRIBUTE_READONLY) != 0 &&
               !SetFileAttributesW(sTarget.c_str(), copied & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
      ReportSystemFailure(run, GetLastError());
    }
    return tCopyOutcome::kCopied;
  }
  const DWORD error = GetLastError();
  // Only a copy refused before it wrote anything may wait for the restart:
  // a sharing violation when the files are opened, or a view of the target
  // in another program's memory, which forbids truncating it. Any other
  // failure (a lock met while writing, a full disk) may have left part of
  // the new file in the target: that is the entry's failure, never a
  // success or a restart, and a file that was not there before is not left
  // half written.
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_USER_MAPPED_FILE) {
    if (attributes == INVALID_FILE_ATTRIBUTES) DeleteFileW(sTarget.c_str());
    ReportSystemFailure(run, error);
    return tCopyOutcome::kFailed;
  }
  // The file in use may be the source (another program writing it in the
  // updater's folder): the restart would not help, and the failure is the
  // source's. The copy reads the source with these sharing rights.
  if (const qmUniqueFile source(CreateFileW(sSource.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      !source) {
    ReportFailure(run, L"Quelle " + sSource + L": " + SystemErrorText(GetLastError()));
    return tCopyOutcome::kFailed;
  }
  // Started from the target folder (or "copy;.;x"), the file is already
  // where it belongs: the copy met its own handle. Nothing is copied, and
  // no restart is needed. (Asked only here: comparing two files costs more
  // than copying a small one.)
  if (bIsSameFile(sSource, sTarget)) {
    run.txtInfo.Append(kSameFileText);
    return tCopyOutcome::kCopied;
  }
  // Only a file in use on a local fixed volume waits for the restart.
  if (!bIsFileInUseError(error) || !bCanReplaceAtRestart(sTarget)) {
    ReportSystemFailure(run, error);
    return tCopyOutcome::kFailed;
  }
  // A running Office Line holds its components open, Access its
  // libraries: the new file waits beside the target, and Windows puts it in
  // place at the next restart, before anyone can open the old one.
  std::wstring waiting;
  unsigned long scheduleError = CopyBeside(sSource, sTarget, &waiting);
  if (scheduleError == ERROR_SUCCESS) {
    scheduleError = ScheduleRenameAtRestart(waiting, sTarget);
    if (scheduleError != ERROR_SUCCESS) DeleteFileW(waiting.c_str());
  }
  if (scheduleError != ERROR_SUCCESS) {
    ReportFailure(run, SystemErrorText(error) + L" (Ersetzen beim Neustart nicht möglich: " +
                           SystemErrorText(scheduleError) + L")");
    return tCopyOutcome::kFailed;
  }
  run.txtInfo.Append(kReplacedAtRestartText);
  run.bEntryNeedsRestart = true;
  run.iOwnRestartWork = 1;
  return tCopyOutcome::kScheduled;
}

}  // namespace

void CopyEntry(const TrevalonJob& job, tRunValues& run) {
  run.bEntryFailed = false;
  run.txtInfo.Append(L"Kopiere: " + job.sFile);
  // A name that no file may have never reaches the file system or the
  // command line of regsvr32, where a double quote would end the path and
  // turn the rest of the name into arguments; nor one that Windows would
  // shorten to another name, past the rules of its class.
  if (bIsInvalidFileName(job.sFile)) {
    ReportSystemFailure(run, ERROR_INVALID_NAME);
    run.bEntryFailed = false;
    return;
  }

  const std::wstring source = run.sUpdaterFolder + L"\\" + job.sFile;
  const std::wstring target = run.sTarget + L"\\" + job.sFile;
  const tFileClass fileClass = FileClassOf(job.sFile);
  // Without a target folder the paths below would name the root of the
  // current drive: nothing there is looked at, deleted or compared, and the
  // copy step reports the missing folder.
  const bool bHasTarget = !run.sTarget.empty();

  tCopyOutcome copied = tCopyOutcome::kCopied;
  switch (fileClass) {
    case tFileClass::kAccess: {
      // Office Line holds its libraries open while it runs; the copy is
      // attempted all the same, and the user is told it may have failed.
      const std::wstring lockFile = LockFileOf(run.sTarget, job.sFile);
      if (!bHasTarget || !bFileExists(lockFile)) {
        copied = CopyStep(run, source, target);
      } else {
        if (!DeleteFileW(lockFile.c_str())) ReportSystemFailure(run, GetLastError());
        copied = CopyStep(run, source, target);
        run.txtInfo.Append(L"   FEHLER: Office Line aktiv! - Eventuell ist das Kopieren von " + job.sFile +
                           L" fehlgeschlagen\r\n");
        run.bEntryFailed = true;
        run.bEntryHadFailure = true;
      }
      break;
    }
    case tFileClass::kComponent: {
      unsigned long dwVersionError = 0;
      std::wstring unreadable;
      if (!bHasTarget || bIsNewerFile(source, target, &dwVersionError, &unreadable)) {
        // Without the version functions the decision is reported, and the
        // file copied.
        if (dwVersionError != 0) ReportSystemFailure(run, dwVersionError);
        copied = CopyStep(run, source, target);
      } else if (dwVersionError != 0) {
        // Nothing is copied over a file whose version nobody knows.
        ReportFailure(run, VersionUnreadableText(unreadable, dwVersionError));
        copied = tCopyOutcome::kFailed;
      } else {
        run.txtInfo.Append(L"   --> Datei überprungen, da neuer oder vorhanden");
      }
      break;
    }
    case tFileClass::kPlain:
      copied = CopyStep(run, source, target);
      break;
  }

  if (fileClass == tFileClass::kAccess && bSameText(job.sPath, L"work") &&
      AppendAddinFragment(run, job.sFile, job.sApp)) {
    run.bConfigNeeded = CompareText(run.sVersion, L"5") >= 0;
  }

  if (!run.bEntryFailed) run.txtInfo.Append(L" - erfolgreich \r\n");
  run.bEntryFailed = false;

  // Also when the copy was skipped or failed: then the file already in the
  // target folder is registered.
  if (fileClass == tFileClass::kComponent) {
    RegisterComponent(run, job.sFile);
    // The file registered now is the old one; the new one is registered
    // when Windows has put it in place.
    if (copied == tCopyOutcome::kScheduled) RegisterComponentAtRestart(run, job.sFile);
  }
}

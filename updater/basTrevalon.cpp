#include "basTrevalon.h"

#include "basBackup.h"
#include "basConfigUpdate.h"
#include "basCopyEntry.h"
#include "basDeleteEntry.h"
#include "basFailureReport.h"
#include "basOfficeLine.h"
#include "basRegistryEntry.h"
#include "basRunLog.h"
#include "basScript.h"
#include "basScriptText.h"
#include "basqmSysTools.h"
#include "tRunValues.h"

#include <new>

#ifndef TREVALON_DEV_FOLDER
#define TREVALON_DEV_FOLDER L"C:\\Entwicklung\\Trevalon"
#endif

const std::wstring& DevelopmentFolder() {
  static const std::wstring folder = TREVALON_DEV_FOLDER;
  return folder;
}

namespace {

// Reports why the script cannot be used. The script is read completely
// before anything is touched, so a broken script changes nothing.
void ReportScriptProblem(const std::wstring& sUpdaterFolder, const tScriptResult& result, clsqmMessageText& txtInfo) {
  const std::wstring file = L"Datei " + sUpdaterFolder + L"\\Trevalon.ini";
  switch (result.status) {
    case tScriptStatus::kRead:
      break;
    case tScriptStatus::kMissing:
      txtInfo.Replace(file + L" nicht vorhanden");
      break;
    case tScriptStatus::kUnreadable:
      txtInfo.Replace(file + L" nicht lesbar: " + SystemErrorText(result.dwError) + L" - ABBRUCH");
      break;
    case tScriptStatus::kOpenQuote:
      txtInfo.Replace(file + L" fehlerhaft: das Anführungszeichen in Zeile " + std::to_wstring(result.nOpenQuoteLine) +
                      L" wird nicht geschlossen - ABBRUCH");
      break;
    case tScriptStatus::kNulBytes:
      // With a byte-order mark the encoding is known: the text itself holds
      // a NUL character.
      txtInfo.Replace(file + (result.encoding == tScriptEncoding::kAnsi
                                  ? L" fehlerhaft: die Datei enthält Nullbytes (Unicode ohne Byte-Order-Mark?) - ABBRUCH"
                                  : L" fehlerhaft: der Text enthält ein Nullzeichen (U+0000) - ABBRUCH"));
      break;
    case tScriptStatus::kBadEncoding:
      txtInfo.Replace(file + L" fehlerhaft: kein gültiger " +
                      (result.encoding == tScriptEncoding::kUtf8 ? L"UTF-8" : L"UTF-16") + L"-Text - ABBRUCH");
      break;
  }
}

void ExecuteEntry(TrevalonJob& job, tRunValues& run) {
  PrepareEntry(job, run);
  const std::wstring& type = job.sTyp;
  if (bSameText(type, L"revision") || bSameText(type, L"rev")) {
    RevisionEntry(job, run);
  } else if (bSameText(type, L"owner") || bSameText(type, L"own")) {
    OwnerEntry(job, run);
  } else if (bSameText(type, L"copy")) {
    CopyEntry(job, run);
  } else if (bSameText(type, L"regt")) {
    RegistryEntry(job, run, tRegistryKind::kText);
  } else if (bSameText(type, L"regl")) {
    RegistryEntry(job, run, tRegistryKind::kNumber);
  } else if (bSameText(type, L"del")) {
    DeleteEntry(job, run);
  }
  // "app", "ver", "log" and anything else: taken while reading, or inert.
}

bool RunUpdateSteps(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module) {
  tTrevalonScript script;
  tRunValues run(sUpdaterFolder, txtInfo, module);
  if (!StartRun(script, run)) return false;
  txtInfo.Repaint();

  for (TrevalonJob& job : script.entries) {
    module.gdtCountdownStart = GetTickCount64();
    RunGuardedStep(run, [&] { ExecuteEntry(job, run); });
    RecordStep(run);
    txtInfo.Repaint();
  }

  RunGuardedStep(run, [&] { WriteConfigUpdate(run); });
  RecordStep(run);

  module.gdtCountdownStart = GetTickCount64();
  txtInfo.Repaint();

  try {
    WriteRunLog(run);
  } catch (...) {
    // The log step ignores every failure.
  }
  return true;
}

}  // namespace

void ReportStepAbort(tRunValues& run) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      ReportSystemFailure(run, ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
      ReportFailure(run, L"Unerwarteter interner Fehler, der Eintrag wurde abgebrochen");
    }
  } catch (...) {
    // Not even the report could be written (no memory left for it): the
    // entry still counts as failed.
    run.bEntryHadFailure = true;
  }
}

void ClearEntryFailed(tRunValues& run) noexcept { run.bEntryFailed = false; }

void RecordStep(tRunValues& run) {
  tTrevalonModule& module = run.module;
  tStepOutcome outcome = tStepOutcome::kDone;
  if (run.bEntryHadFailure) {
    outcome = tStepOutcome::kFailed;
    ++module.glFailedEntries;
  } else if (run.bEntryNeedsRestart) {
    outcome = tStepOutcome::kRestart;
  }
  // Also a failed entry may have left a file for the restart (an Access
  // library with its lock file): the restart is needed all the same.
  if (run.bEntryNeedsRestart) ++module.glRestartEntries;
  module.gcolStepOutcomes.push_back(outcome);
  run.bEntryHadFailure = false;
  run.bEntryNeedsRestart = false;
}

bool StartRun(tTrevalonScript& script, tRunValues& run) {
  tTrevalonModule& module = run.module;
  clsqmMessageText& txtInfo = run.txtInfo;
  module.glFailedEntries = 0;
  module.glRestartEntries = 0;
  module.gcolStepOutcomes.clear();

  if (tScriptResult result = ReadScript(run.sUpdaterFolder, script); result.status != tScriptStatus::kRead) {
    ReportScriptProblem(run.sUpdaterFolder, result, txtInfo);
    return false;
  }
  run.sVersion = script.sVersion;
  run.bLog = script.bLog;
  FindOfficeLine(run);

  txtInfo.Replace(L"Trevalon startet...\r\n");
  txtInfo.Append(L"Registry: " + module.gsOLRegKey + L"\r\n" + L"Office Line Pfad:" + run.sOLRoot + L"\r\n");
  txtInfo.Append(L"Windows: " + run.sWinRoot + L"\r\n");
  txtInfo.Repaint();

  if (run.sOLRoot.empty() || run.sWinRoot.empty()) {
    txtInfo.Append(L"----------------------------------\r\n");
    txtInfo.Append(L"Pfade für angegebene OL Version nicht ermittelbar - ABBRUCH\r\n");
    module.glCountdownSeconds = 30;
    return false;
  }
  return true;
}

void ReportRunAbort(clsqmMessageText& txtInfo) noexcept {
  try {
    txtInfo.Append(L"\r\n" + SystemErrorText(ERROR_NOT_ENOUGH_MEMORY) + L" - ABBRUCH\r\n");
  } catch (...) {
  }
}

bool RunUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module) {
  if (module.gbUndo) return UndoUpdate(sUpdaterFolder, txtInfo, module, false);
  return bGuardedRun(txtInfo, [&] { return RunUpdateSteps(sUpdaterFolder, txtInfo, module); });
}

int ExitCodeOf(bool bCompleted, const tTrevalonModule& module) {
  if (!bCompleted) return kExitRunFailed;
  if (module.glFailedEntries > 0) return kExitEntriesFailed;
  if (module.glRestartEntries > 0) return kExitRestartRequired;
  return kExitSuccess;
}

std::wstring ResultLineOf(bool bCompleted, const tTrevalonModule& module) {
  if (!bCompleted) return L"Trevalon fehlgeschlagen";
  return module.glRestartEntries > 0 ? L"Trevalon erfolgreich - Neustart erforderlich" : L"Trevalon erfolgreich";
}

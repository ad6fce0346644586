#include "basCheck.h"

#include "basBackup.h"
#include "basComponentRegistration.h"
#include "basConfigUpdate.h"
#include "basCopyEntry.h"
#include "basDeleteEntry.h"
#include "basOfficeLine.h"
#include "basRegistryEntry.h"
#include "basScriptText.h"
#include "basqmFileVersion.h"
#include "basqmFiles.h"
#include "basqmRestart.h"
#include "basqmSysTools.h"
#include "basqmTextFile.h"
#include "qmHandle.h"
#include "tRunValues.h"

#include <windows.h>

#include <new>
#include <optional>
#include <utility>
#include <string_view>
#include <variant>
#include <vector>

namespace {

// The plan of one step as it is written: labelled lines, failures, and the
// result line at the end.
class tStepPlan {
 public:
  tStepPlan(clsqmMessageText& txtPlan, tRunValues& run) : mText(txtPlan), mRun(run) {}

  void Line(const std::wstring& sLabel, const std::wstring& sText) {
    mText.Append(L"  " + sLabel + (sText.empty() ? L":" : L": " + sText) + L"\r\n");
  }
  void Fail(const std::wstring& sReason) {
    mText.Append(L"  FEHLER: " + sReason + L"\r\n");
    mRun.bEntryHadFailure = true;
  }
  void FailSystem(unsigned long dwError) { Fail(SystemErrorText(dwError)); }
  void NeedsRestart() { mRun.bEntryNeedsRestart = true; }
  void Act() { mbActs = true; }
  // Lines of a text that a file would hold, each behind "    | ".
  void Quote(const std::wstring& sText) {
    size_t start = 0;
    while (start < sText.size()) {
      size_t end = sText.find(L"\r\n", start);
      if (end == std::wstring::npos) end = sText.size();
      mText.Append(L"    | " + sText.substr(start, end - start) + L"\r\n");
      start = end + 2;
    }
  }
  // What the run's own operations reported into the scratch message text
  // (a failure report or a message of their own) becomes a failure line.
  void TakeMessages(clsqmMessageText& scratch) {
    std::wstring text = scratch.Text();
    scratch.Replace(std::wstring());
    if (text.empty()) return;
    constexpr std::wstring_view kDescription = L"Fehlermeldung: ";
    const size_t at = text.rfind(kDescription);
    Fail(TrimBlanks(at == std::wstring::npos ? text : text.substr(at + kDescription.size())));
  }
  void Finish() {
    const wchar_t* result = L"erfolgreich";
    if (mRun.bEntryHadFailure) {
      result = mRun.bEntryNeedsRestart ? L"fehlgeschlagen, Neustart erforderlich" : L"fehlgeschlagen";
    } else if (mRun.bEntryNeedsRestart) {
      result = L"erfolgreich, Neustart erforderlich";
    } else if (!mbActs) {
      result = L"keine Aktion";
    }
    mText.Append(std::wstring(L"  Ergebnis: ") + result + L"\r\n");
  }

 private:
  clsqmMessageText& mText;
  tRunValues& mRun;
  bool mbActs = false;
};

// 0 when sPath could be opened with that access and sharing, else the
// error. Opening changes nothing: it only asks Windows whether the run's
// own open would be let through.
DWORD OpenError(const std::wstring& sPath, DWORD dwAccess, DWORD dwShare) {
  qmUniqueFile file(CreateFileW(sPath.c_str(), dwAccess, dwShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? ERROR_SUCCESS : GetLastError();
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether the file could be deleted now; 0 or the error the deletion would
// meet. Only the deletion itself knows (a library that a running program
// loaded opens for deletion, but cannot be deleted): the file is marked
// for deletion and unmarked at once, on a handle that the check alone
// holds, so nothing happens to it before the mark is taken back.
DWORD DeleteError(const std::wstring& sPath) {
  const DWORD attributes = GetFileAttributesW(sPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
  const qmUniqueFile file(CreateFileW(sPath.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
  if (!file) return GetLastError();
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
    return GetLastError();
  }
  disposition.DeleteFile = FALSE;
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
    return GetLastError();
  }
  return ERROR_SUCCESS;
}

std::wstring FolderOf(const std::wstring& sPath) {
  const size_t slash = sPath.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : sPath.substr(0, slash);
}

bool bIsFolder(const std::wstring& sPath) {
  const DWORD attributes = GetFileAttributesW(sPath.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A direct copy or deletion of sTarget takes back what an earlier run left
// waiting to replace it at the restart.
void PlanCancel(tStepPlan& plan, const std::wstring& sTarget) {
  if (const std::wstring waiting = PendingReplacementOf(sTarget, PendingRenamesAtRestart()); !waiting.empty()) {
    plan.Line(L"Neustart", L"die beim Neustart geplante Ersetzung durch " + waiting + L" wird aufgehoben");
  }
}

// The copy step of a copy entry: false when it would fail.
bool PlanCopyStep(tStepPlan& plan, const tRunValues& run, const std::wstring& sSource, const std::wstring& sTarget,
                  bool* pbScheduled) {
  *pbScheduled = false;
  if (run.sTarget.empty()) {
    plan.FailSystem(ERROR_PATH_NOT_FOUND);
    return false;
  }
  // With the sharing rights with which the run reads the source.
  if (DWORD error = OpenError(sSource, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE); error != ERROR_SUCCESS) {
    plan.Fail(L"Quelle " + sSource + L": " + SystemErrorText(error));
    return false;
  }
  if (!bIsFolder(FolderOf(sTarget))) {
    plan.Fail(L"Zielordner " + FolderOf(sTarget) + L": " + SystemErrorText(ERROR_PATH_NOT_FOUND));
    return false;
  }
  const DWORD attributes = GetFileAttributesW(sTarget.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & kUntouchableTarget) != 0) {
      plan.FailSystem(ERROR_ACCESS_DENIED);
      return false;
    }
    if (bIsSameFile(sSource, sTarget)) {
      plan.Line(L"Aktion", L"nicht kopieren, Quelle und Ziel sind dieselbe Datei");
      plan.Act();
      return true;
    }
    // The copy opens the target for writing and shares it with nobody.
    if (DWORD error = OpenError(sTarget, GENERIC_WRITE, 0); error != ERROR_SUCCESS) {
      if (!bIsFileInUseError(error) || !bCanReplaceAtRestart(sTarget)) {
        plan.FailSystem(error);
        return false;
      }
      plan.Line(L"Aktion", L"beim nächsten Neustart ersetzen (Datei in Benutzung: " + SystemErrorText(error) + L")");
      plan.NeedsRestart();
      plan.Act();
      *pbScheduled = true;
      return true;
    }
  }
  plan.Line(L"Aktion", L"kopieren");
  PlanCancel(plan, sTarget);
  plan.Act();
  return true;
}

void PlanCopy(const TrevalonJob& job, tRunValues& run, clsqmMessageText& scratch, tStepPlan& plan) {
  const std::wstring source = run.sUpdaterFolder + L"\\" + job.sFile;
  const std::wstring target = run.sTarget + L"\\" + job.sFile;
  plan.Line(L"Ziel", run.sTarget.empty() ? L"(kein Zielordner)" : target);
  if (bIsInvalidFileName(job.sFile)) {
    plan.FailSystem(ERROR_INVALID_NAME);
    return;
  }
  plan.Line(L"Quelle", source);
  const tFileClass fileClass = FileClassOf(job.sFile);
  const bool bHasTarget = !run.sTarget.empty();
  bool bScheduled = false;

  switch (fileClass) {
    case tFileClass::kAccess: {
      const std::wstring lockFile = LockFileOf(run.sTarget, job.sFile);
      if (bHasTarget && bFileExists(lockFile)) {
        plan.Line(L"Sperrdatei", lockFile + L" wird gelöscht");
        if (DWORD error = DeleteError(lockFile); error != ERROR_SUCCESS) {
          plan.Fail(L"Sperrdatei " + lockFile + L": " + SystemErrorText(error));
        }
        PlanCopyStep(plan, run, source, target, &bScheduled);
        plan.Fail(L"Office Line aktiv! - Eventuell ist das Kopieren von " + job.sFile + L" fehlgeschlagen");
      } else {
        PlanCopyStep(plan, run, source, target, &bScheduled);
      }
      break;
    }
    case tFileClass::kComponent: {
      if (!bHasTarget) {
        PlanCopyStep(plan, run, source, target, &bScheduled);
        break;
      }
      auto versionText = [](const std::wstring& sPath) {
        if (!bFileExists(sPath)) return std::wstring(L"keine Datei");
        const tFileVersion version = GetFileVersion(sPath);
        return version.dwError != 0 ? std::wstring(L"nicht lesbar") : version.sFileVersion;
      };
      plan.Line(L"Version", L"neu " + versionText(source) + L", vorhanden " + versionText(target));
      unsigned long dwVersionError = 0;
      std::wstring unreadable;
      if (bIsNewerFile(source, target, &dwVersionError, &unreadable)) {
        if (dwVersionError != 0) plan.FailSystem(dwVersionError);
        PlanCopyStep(plan, run, source, target, &bScheduled);
      } else if (dwVersionError != 0) {
        plan.Fail(VersionUnreadableText(unreadable, dwVersionError));
      } else {
        plan.Line(L"Aktion", L"nicht kopieren, die vorhandene Datei ist gleich neu oder neuer");
        plan.Act();
      }
      break;
    }
    case tFileClass::kPlain:
      PlanCopyStep(plan, run, source, target, &bScheduled);
      break;
  }

  if (fileClass == tFileClass::kAccess && bSameText(job.sPath, L"work")) {
    const size_t before = run.sConfigText.size();
    if (AppendAddinFragment(run, job.sFile, job.sApp)) {
      run.bConfigNeeded = CompareText(run.sVersion, L"5") >= 0;
      plan.Line(L"Fragment", L"für das Konfigurationsupdate");
      // Without the line break that separates it from what stands before.
      plan.Quote(run.sConfigText.substr(before + 2));
    }
    plan.TakeMessages(scratch);
  }

  if (fileClass == tFileClass::kComponent) {
    if (!bHasTarget) {
      plan.FailSystem(ERROR_PATH_NOT_FOUND);
      return;
    }
    plan.Line(L"Registrierung", RegistrationCommandLine(target));
    if (bScheduled) plan.Line(L"Registrierung nach Neustart", RegistrationAtRestartCommandLine(target));
  }
}

void PlanRegistry(const TrevalonJob& job, tRunValues& run, tStepPlan& plan, tRegistryKind kind) {
  if (!bRegistryEntryApplies(run)) {
    plan.Line(L"Aktion", L"keine, Registry-Einträge gelten nur für Office Line vor Version 5");
    return;
  }
  std::wstring failure;
  std::optional<tRegValue> value = RegistryEntryValue(job, kind, &failure);
  const std::wstring key = RegistryKeyOf(run.module, job.sPath, job.sValue2);
  const bool bKeyExists = run.module.gobjRegistry->RegKeyExist(HKEY_LOCAL_MACHINE, key) == ERROR_SUCCESS;
  plan.Line(L"Schlüssel", L"HKEY_LOCAL_MACHINE\\" + key + (bKeyExists ? L"" : L" (wird angelegt)"));
  if (!value) {
    plan.Fail(failure);
    return;
  }
  if (const auto* number = std::get_if<int32_t>(&*value)) {
    plan.Line(L"Wert", job.sFile + L" = " + std::to_wstring(*number) + L" (REG_DWORD)");
  } else {
    plan.Line(L"Wert", job.sFile + L" = \"" + std::get<std::wstring>(*value) + L"\" (REG_SZ)");
  }
  plan.Act();
}

void PlanDelete(const TrevalonJob& job, const tRunValues& run, tStepPlan& plan) {
  if (run.sTarget.empty()) {
    plan.Line(L"Ziel", L"(kein Zielordner)");
    plan.FailSystem(ERROR_PATH_NOT_FOUND);
    return;
  }
  const std::wstring path = run.sTarget + L"\\" + job.sFile;
  plan.Line(L"Ziel", path);
  const std::vector<std::wstring> files = bFileExists(path) ? MatchingFiles(path) : std::vector<std::wstring>();
  if (files.empty()) {
    plan.Line(L"Aktion", L"nichts zu löschen, nicht vorhanden");
    return;
  }
  plan.Act();
  for (const std::wstring& file : files) {
    plan.Line(L"Löschen", file);
    if (DWORD error = DeleteError(file); error != ERROR_SUCCESS) {
      plan.Fail(file + L": " + SystemErrorText(error));
    } else {
      PlanCancel(plan, file);
    }
  }
}

// Revision and owner change only run values: the run's own operations
// plan them, and what they would report becomes a failure line.
template <typename tOperation>
void PlanRunValueEntry(const TrevalonJob& job, tRunValues& run, clsqmMessageText& scratch, tStepPlan& plan,
                       tOperation operation, const wchar_t* sLabel) {
  operation(job, run);
  plan.TakeMessages(scratch);
  if (!run.bEntryHadFailure) plan.Line(sLabel, job.sPath);
  plan.Act();
}

void PlanEntry(const TrevalonJob& job, tRunValues& run, clsqmMessageText& scratch, tStepPlan& plan) {
  const std::wstring& type = job.sTyp;
  if (bSameText(type, L"revision") || bSameText(type, L"rev")) {
    PlanRunValueEntry(job, run, scratch, plan, RevisionEntry, L"Revision");
  } else if (bSameText(type, L"owner") || bSameText(type, L"own")) {
    PlanRunValueEntry(job, run, scratch, plan, OwnerEntry, L"Owner");
  } else if (bSameText(type, L"copy")) {
    PlanCopy(job, run, scratch, plan);
  } else if (bSameText(type, L"regt")) {
    PlanRegistry(job, run, plan, tRegistryKind::kText);
  } else if (bSameText(type, L"regl")) {
    PlanRegistry(job, run, plan, tRegistryKind::kNumber);
  } else if (bSameText(type, L"del")) {
    PlanDelete(job, run, plan);
  }
}

void PlanConfigUpdate(tRunValues& run, clsqmMessageText& txtPlan, tStepPlan& plan) {
  if (!run.bConfigNeeded) {
    txtPlan.Append(L"Konfigurationsupdate: keines\r\n");
    return;
  }
  const std::wstring path = ConfigUpdatePath(run);
  txtPlan.Append(L"Konfigurationsupdate: " + path + L"\r\n");
  plan.Act();
  if (bRevisionMissing(run)) plan.Fail(L"Keine Revisionangabe in Trevalon.ini");
  if (!bConfigOwnerKeyIsValid(run)) {
    plan.FailSystem(ERROR_INVALID_NAME);
  } else if (!bIsFolder(FolderOf(path))) {
    plan.Fail(L"Ordner " + FolderOf(path) + L": " + SystemErrorText(ERROR_PATH_NOT_FOUND));
  } else {
    // The run writes path + ".tmp" anew (read-only or not) and renames it
    // over the file, which must not be read-only: both must be free.
    for (const auto& [file, access] : {std::pair<std::wstring, DWORD>{path + L".tmp", GENERIC_WRITE},
                                       std::pair<std::wstring, DWORD>{path, DELETE}}) {
      const DWORD attributes = GetFileAttributesW(file.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES) continue;
      const DWORD error = access == DELETE && (attributes & FILE_ATTRIBUTE_READONLY) != 0
                              ? ERROR_ACCESS_DENIED
                              : OpenError(file, access, access == DELETE ? kShareAll : 0);
      if (error != ERROR_SUCCESS) plan.Fail(file + L": " + SystemErrorText(error));
    }
  }
  plan.Line(L"Inhalt", L"");
  plan.Quote(ConfigUpdateText(run));
  const std::wstring commandLine = ConfigToolCommandLine(run);
  if (!bStartsConfigTool(run)) {
    plan.Line(L"Updatetool", commandLine + L" (wird im Entwicklungsordner nicht gestartet)");
    return;
  }
  plan.Line(L"Updatetool", commandLine);
  if (DWORD error = OpenError(ConfigToolPath(run), GENERIC_READ, kShareAll); error != ERROR_SUCCESS) {
    plan.FailSystem(error);
  }
}

std::wstring EntryText(const TrevalonJob& job) {
  std::wstring text;
  size_t shown = 0;
  const std::wstring* fields[] = {&job.sTyp, &job.sPath, &job.sFile, &job.sValue, &job.sValue2};
  for (size_t i = 0; i < 5; ++i)
    if (!fields[i]->empty()) shown = i + 1;
  for (size_t i = 0; i < shown; ++i) text += (i ? L";" : L"") + *fields[i];
  return text;
}

bool CheckSteps(const std::wstring& sUpdaterFolder, clsqmMessageText& txtPlan, tTrevalonModule& module) {
  // The run's operations that only build run values report into a
  // message text of their own; the plan says what they would report.
  clsqmMessageText scratch;
  tRunValues run(sUpdaterFolder, scratch, module);
  tTrevalonScript script;
  const bool bStarts = StartRun(script, run);
  txtPlan.Replace(L"Trevalon Prüfung - es wird nichts verändert\r\n" + scratch.Text());
  scratch.Replace(std::wstring());
  if (!bStarts) {
    if (txtPlan.Text().back() != L'\n') txtPlan.Append(L"\r\n");
    txtPlan.Append(L"Gesamt: Trevalon würde abbrechen - Rückgabewert " +
                   std::to_wstring(ExitCodeOf(false, module)) + L"\r\n");
    return false;
  }
  txtPlan.Append(L"Access: " + (run.sAccessRoot.empty() ? std::wstring(L"(nicht gefunden)") : run.sAccessRoot) +
                 L"\r\n");
  txtPlan.Repaint();

  size_t nEntry = 0;
  for (const TrevalonJob& original : script.entries) {
    TrevalonJob job = original;
    txtPlan.Append(L"Eintrag " + std::to_wstring(++nEntry) + L": " + EntryText(original) + L"\r\n");
    tStepPlan plan(txtPlan, run);
    // The run's guard: what it would report for a step that throws becomes
    // the step's failure line.
    RunGuardedStep(run, [&] {
      PrepareEntry(job, run);
      PlanEntry(job, run, scratch, plan);
    });
    plan.TakeMessages(scratch);
    plan.Finish();
    RecordStep(run);
  }

  tStepPlan plan(txtPlan, run);
  RunGuardedStep(run, [&] { PlanConfigUpdate(run, txtPlan, plan); });
  plan.TakeMessages(scratch);
  if (run.bConfigNeeded) plan.Finish();
  RecordStep(run);

  txtPlan.Append(L"Logdatei: " +
                 (run.bLog ? sUpdaterFolder + L"\\log_" + GetComputerNameText() + L".txt" : std::wstring(L"keine")) +
                 L"\r\n");
  txtPlan.Append(L"Gesamt: " + std::to_wstring(script.entries.size()) + L" Einträge, " +
                 std::to_wstring(module.glFailedEntries) + L" fehlgeschlagen, " +
                 std::to_wstring(module.glRestartEntries) + L" mit Neustart - Rückgabewert " +
                 std::to_wstring(ExitCodeOf(true, module)) + L"\r\n");
  txtPlan.Repaint();
  if (run.bLog) (void)WriteAnsiFile(sUpdaterFolder + L"\\check_" + GetComputerNameText() + L".txt", txtPlan.Text());
  return true;
}

}  // namespace

bool CheckUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtPlan, tTrevalonModule& module) {
  if (module.gbUndo) return UndoUpdate(sUpdaterFolder, txtPlan, module, true);
  return bGuardedRun(txtPlan, [&] { return CheckSteps(sUpdaterFolder, txtPlan, module); });
}

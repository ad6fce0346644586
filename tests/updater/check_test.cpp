// The check: what a run would do on this machine, entry by entry, with
// nothing changed; and the run that follows does what the plan said.
#include "basCheck.h"
#include "basqmRestart.h"
#include "basqmSysTools.h"
#include "qmOfficeLineFixture.h"


using qmtest::Exists;
using qmtest::ReadBytes;
using qmtest::WriteBytes;

namespace {

std::wstring CheckFileName() { return L"check_" + GetComputerNameText() + L".txt"; }

UINT gnDriveType = DRIVE_FIXED;
UINT WINAPI PlayedDriveType(LPCWSTR) { return gnDriveType; }

// One entry's block of the plan: from "Eintrag <n>: " to its result line.
std::wstring Block(const std::wstring& sPlan, int nEntry) {
  const std::wstring head = L"\r\nEintrag " + std::to_wstring(nEntry) + L": ";
  const size_t start = sPlan.find(head);
  if (start == std::wstring::npos) return std::wstring();
  const size_t end = sPlan.find(L"  Ergebnis: ", start);
  const size_t lineEnd = end == std::wstring::npos ? sPlan.size() : sPlan.find(L"\r\n", end) + 2;
  return sPlan.substr(start + 2, lineEnd - start - 2);
}

::testing::AssertionResult Has(const std::wstring& sText, const std::wstring& sPart) {
  if (sText.find(sPart) != std::wstring::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\n" << testing::internal::String::ShowWideCString(sPart.c_str())
                                       << "\nnot in\n" << testing::internal::String::ShowWideCString(sText.c_str());
}

// The lines quoted after "    | " in a plan block, joined by CR LF.
std::wstring Quoted(const std::wstring& sBlock) {
  std::wstring text;
  for (size_t at = sBlock.find(L"    | "); at != std::wstring::npos; at = sBlock.find(L"    | ", at)) {
    const size_t end = sBlock.find(L"\r\n", at);
    text += sBlock.substr(at + 6, end - at - 6) + L"\r\n";
    at = end;
  }
  return text;
}

class qmCheckTest : public qmRunTest {
 public:
  tSnapshot Snapshot() const {
    tSnapshot snapshot = ::Snapshot(mScratch.path(), {CheckFileName()}, true,
                                    {L"SOFTWARE\\Sage", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"});
    for (const auto& [source, target] : PendingRenames()) snapshot[L"rename " + source] = qmtest::ToAnsi(target);
    return snapshot;
  }

  bool Check() { return CheckUpdate(updater(), mPlan, mModule); }

  // A check that changes nothing on the machine and starts no program (no
  // record of the tool or of regsvr32); the script asks for a log, so the
  // check writes its own report, never the run's log.
  void CheckChangingNothing() {
    const tSnapshot before = Snapshot();
    EXPECT_TRUE(Check());
    EXPECT_EQ(Differences(before, Snapshot()), L"");
    Sleep(500);
    EXPECT_FALSE(Exists(root() + L"\\Shared\\UpdateConfigTool.cmdline"));
    EXPECT_FALSE(Exists(shared() + L"\\new.dll.registered"));
    EXPECT_FALSE(Exists(LogPath()));
    EXPECT_EQ(ReadBytes(updater() + L"\\" + CheckFileName()), qmtest::ToAnsi(Plan()));
  }

  // The run after the check: every step and the exit code as planned.
  void RunAsPlanned() {
    const std::vector<tStepOutcome> planned = mModule.gcolStepOutcomes;
    const int nPlannedExit = ExitCodeOf(true, mModule);
    ASSERT_TRUE(Run());
    EXPECT_EQ(mModule.gcolStepOutcomes, planned) << qmtest::ToAnsi(Plan());
    EXPECT_EQ(ExitCodeOf(true, mModule), nPlannedExit);
  }
  const std::wstring& Plan() const { return mPlan.Text(); }

  clsqmMessageText mPlan;
};

}  // namespace

// The plan's form for the entry types is in ThePlanHasOneStableForm...;
// these are the decisions that only an 8.2 rollout shows.
TEST_F(qmCheckTest, ACheckChangesNothingAndTheRunDoesWhatThePlanSaidEntryByEntry) {
  // What an add-in rollout to an 8.2 machine uses: every entry type that
  // acts for 8.2, a file in use, a failing entry and inert ones.
  CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\new.dll");
  CopyFixture(L"qmreg_ok_1_0.dll", shared() + L"\\new.dll");
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\old.dll");
  CopyFixture(L"qmreg_ok_2_0.dll", shared() + L"\\old.dll");
  PutUpdaterFiles({{L"readme.txt", "read me"}, {L"held.txt", "new held"}, {L"Lib.mda", "library"},
                   {L"Other.mde", "other library"}});
  WriteBytes(shared() + L"\\held.txt", "old held");
  WriteBytes(work() + L"\\Lib.ldb", "lock");
  WriteBytes(root() + L"\\abf\\a.tmp", "a");
  WriteBytes(root() + L"\\abf\\b.tmp", "b");
  WriteScript({"ver;820", "log", "bereich;REWE", "rev;3", "own;My Company", "copy;shared;new.dll",
               "copy;shared;old.dll", "copy;shared;readme.txt", "copy;shared;held.txt", "copy;work;Lib.mda",
               "copy;work;Other.mde", "copy;shared;missing.txt", "regt;Sub;Name;Text", "del;abf;*.tmp",
               "del;rewe;gone.txt", "unknown;x"});
  {
    qmHeldFile held(shared() + L"\\held.txt");
    ASSERT_TRUE(held.held());
    CheckChangingNothing();
    RunAsPlanned();
    EXPECT_EQ(ExitCodeOf(true, mModule), 2);
  }
  const std::wstring plan = Plan();
  const struct {
    int nEntry;
    std::wstring sPart;
  } kPlanned[] = {
      // The component with the higher version is copied, the older one is
      // not; both versions are named.
      {6, L"  Version: neu 2.0.0.0, vorhanden 1.0.0.0\r\n  Aktion: kopieren\r\n"},
      {7, L"  Version: neu 1.0.0.0, vorhanden 2.0.0.0\r\n  Aktion: nicht kopieren"},
      // The file in use waits for the restart.
      {9, L"  Aktion: beim nächsten Neustart ersetzen (Datei in Benutzung: "},
      {9, L"  Ergebnis: erfolgreich, Neustart erforderlich\r\n"},
      // The lock file goes, the warning stays.
      {10, L"  Sperrdatei: " + work() + L"\\Lib.ldb wird gelöscht\r\n"},
      {10, L"  FEHLER: Office Line aktiv! - Eventuell ist das Kopieren von Lib.mda fehlgeschlagen\r\n"
           L"  Fragment: für das Konfigurationsupdate\r\n    | ~Revision = \"1\"\r\n"
           L"    | ~Insert = \"/configuration/Office_x0020_Line/rewe/add-ins\"\r\n    | <lib>\r\n"},
      {12, L"  FEHLER: Quelle " + updater() + L"\\missing.txt: " + ErrorText(ERROR_FILE_NOT_FOUND) +
               L"\r\n  Ergebnis: fehlgeschlagen\r\n"},
      {13, L"  Aktion: keine, Registry-Einträge gelten nur für Office Line vor Version 5\r\n"},
      {14, L"  Löschen: " + root() + L"\\abf\\a.tmp\r\n  Löschen: " + root() + L"\\abf\\b.tmp\r\n"},
      {15, L"  Aktion: nichts zu löschen, nicht vorhanden\r\n  Ergebnis: keine Aktion\r\n"},
      {16, L"Eintrag 16: unknown;x\r\n  Ergebnis: keine Aktion\r\n"},
  };
  // What the run then does to each file is the run tests' (copy, restart,
  // delete); here it did each step as planned.
  for (const auto& row : kPlanned) EXPECT_TRUE(Has(Block(plan, row.nEntry), row.sPart)) << row.nEntry;

  // The configuration update file holds exactly the text of the plan, and
  // the tool was started with the plan's command line.
  const size_t config = plan.find(L"Konfigurationsupdate: " + ConfigFile(L"MyCompany") + L"\r\n  Inhalt:\r\n");
  ASSERT_NE(config, std::wstring::npos) << qmtest::ToAnsi(plan);
  const std::wstring configPlan = plan.substr(config);
  EXPECT_EQ(qmtest::ToAnsi(Quoted(configPlan)), ReadBytes(ConfigFile(L"MyCompany")));
  const std::wstring commandLine = L"\"" + root() + L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe\" 8.2";
  EXPECT_TRUE(Has(configPlan, L"  Updatetool: " + commandLine + L"\r\n  Ergebnis: erfolgreich\r\n"));
  EXPECT_EQ(WaitForToolRecord().substr(0, commandLine.size()), commandLine);
  EXPECT_TRUE(Has(plan, L"Logdatei: " + updater() + L"\\log_" + GetComputerNameText() +
                            L".txt\r\nGesamt: 16 Einträge, 2 fehlgeschlagen, 1 mit Neustart - Rückgabewert 2\r\n"));
}

TEST_F(qmCheckTest, RegistryValuesArePlannedWithTheirTypeAndKeyAndThenWrittenSo) {
  // The registry entries act only below version 5.
  // Copies and deletions plan alike in every version (see the first test).
  SetInstallation(kKey440);
  WriteScript({"ver;440", "log", "regt;QmSub;Name;Text", "regl;;QmZahl;42", "copy;work;Lib.mda"});
  PutUpdaterFiles({{L"Lib.mda", "library"}});
  CheckChangingNothing();
  RunAsPlanned();

  const std::wstring plan = Plan();
  EXPECT_EQ(Block(plan, 3), L"Eintrag 3: regt;QmSub;Name;Text\r\n  Schlüssel: HKEY_LOCAL_MACHINE\\" +
                                std::wstring(kKey440) + L"\\QmSub (wird angelegt)\r\n"
                                L"  Wert: Name = \"Text\" (REG_SZ)\r\n  Ergebnis: erfolgreich\r\n");
  EXPECT_EQ(Block(plan, 4), L"Eintrag 4: regl;;QmZahl;42\r\n  Schlüssel: HKEY_LOCAL_MACHINE\\" +
                                std::wstring(kKey440) + L"\r\n  Wert: QmZahl = 42 (REG_DWORD)\r\n"
                                L"  Ergebnis: erfolgreich\r\n");
  // The values themselves, with their types, are asserted in
  // RegistryEntriesWriteTextAndNumbersInThe32BitViewThatTheProductReads.
  // The fragment is planned for the text, but no update file is written
  // before version 5 (the plan says so: see ThePlanHasOneStableForm...).
  EXPECT_TRUE(Has(Block(plan, 5), L"  Ziel: " + work() + L"\\Lib.mda\r\n"));
}

TEST_F(qmCheckTest, ThePlanHasOneStableFormWithEveryReasonForAFailure) {
  CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\Comp.dll");
  PutUpdaterFiles({{L"a.txt", "a"}, {L"b.txt", "b"}});
  WriteBytes(root() + L"\\abf\\x.tmp", "x");
  SetInstallation(kKey440);
  WriteScript({"ver;440", "copy;shared;Comp.dll", "copy;nowhere;a.txt", "copy;shared;b?.txt", "regl;QmSub;Count;4x2",
               "del;abf;*.tmp", "rev;drei"});
  EXPECT_TRUE(Check());
  EXPECT_EQ(Plan(),
            L"Trevalon Prüfung - es wird nichts verändert\r\n" + StartLines(kKey440) + L"Access: " + access() +
                L"\r\n"
                L"Eintrag 1: ver;440\r\n"
                L"  Ergebnis: keine Aktion\r\n"
                L"Eintrag 2: copy;shared;Comp.dll\r\n"
                L"  Ziel: " + shared() + L"\\Comp.dll\r\n"
                L"  Quelle: " + updater() + L"\\Comp.dll\r\n"
                L"  Version: neu 2.0.0.0, vorhanden keine Datei\r\n"
                L"  Aktion: kopieren\r\n"
                L"  Registrierung: regsvr32 \"" + shared() + L"\\Comp.dll\" -s\r\n"
                L"  Ergebnis: erfolgreich\r\n"
                L"Eintrag 3: copy;nowhere;a.txt\r\n"
                L"  Ziel: " + updater() + L"\\nowhere\\a.txt\r\n"
                L"  Quelle: " + updater() + L"\\a.txt\r\n"
                L"  FEHLER: Zielordner " + updater() + L"\\nowhere: " + ErrorText(ERROR_PATH_NOT_FOUND) + L"\r\n"
                L"  Ergebnis: fehlgeschlagen\r\n"
                L"Eintrag 4: copy;shared;b?.txt\r\n"
                L"  Ziel: " + shared() + L"\\b?.txt\r\n"
                L"  FEHLER: " + ErrorText(ERROR_INVALID_NAME) + L"\r\n"
                L"  Ergebnis: fehlgeschlagen\r\n"
                L"Eintrag 5: regl;QmSub;Count;4x2\r\n"
                L"  Schlüssel: HKEY_LOCAL_MACHINE\\" + kKey440 + L"\\QmSub (wird angelegt)\r\n"
                L"  FEHLER: Der Wert \"4x2\" ist keine ganze Zahl im Bereich von -2147483648 bis 2147483647\r\n"
                L"  Ergebnis: fehlgeschlagen\r\n"
                L"Eintrag 6: del;abf;*.tmp\r\n"
                L"  Ziel: " + root() + L"\\abf\\*.tmp\r\n"
                L"  Löschen: " + root() + L"\\abf\\x.tmp\r\n"
                L"  Ergebnis: erfolgreich\r\n"
                L"Eintrag 7: rev;drei\r\n"
                L"  FEHLER: FEHLERHAFTE Revisionangabe in Trevalon.ini!\r\n"
                L"  Ergebnis: fehlgeschlagen\r\n"
                L"Konfigurationsupdate: keines\r\n"
                L"Logdatei: keine\r\n"
                L"Gesamt: 7 Einträge, 4 fehlgeschlagen, 0 mit Neustart - Rückgabewert 2\r\n");
  EXPECT_EQ(ExitCodeOf(true, mModule), 2);
  EXPECT_FALSE(Exists(updater() + L"\\" + CheckFileName()));  // no "log" in the script
}

TEST_F(qmCheckTest, ACheckThatCannotStartSaysWhyAndThatTheRunWouldStop) {
  EXPECT_FALSE(Check());
  EXPECT_EQ(Plan(), L"Trevalon Prüfung - es wird nichts verändert\r\nDatei " + updater() +
                        L"\\Trevalon.ini nicht vorhanden\r\nGesamt: Trevalon würde abbrechen - Rückgabewert 1\r\n");
  WriteScript({"ver;700", "log"});
  EXPECT_FALSE(Check());
  EXPECT_TRUE(Has(Plan(), L"Pfade für angegebene OL Version nicht ermittelbar - ABBRUCH\r\n"
                          L"Gesamt: Trevalon würde abbrechen - Rückgabewert 1\r\n"));
  EXPECT_FALSE(Exists(updater() + L"\\" + CheckFileName()));
}

TEST_F(qmCheckTest, AStepThatFailsUnexpectedlyFailsAloneInThePlanAsInTheRun) {
  PutUpdaterFiles({{L"a.txt", "a"}, {L"b.txt", "b"}});
  WriteScript({"ver;820", "copy;shared;a.txt", "copy;shared;b.txt"});
  qmFailingMirror mirror(L"  Quelle: " + updater() + L"\\a.txt");
  mPlan.SetListener(&mirror);
  const bool bOk = Check();
  mPlan.SetListener(nullptr);
  EXPECT_TRUE(bOk);
  EXPECT_TRUE(Has(Block(Plan(), 2), L"  FEHLER: Unerwarteter interner Fehler, der Eintrag wurde abgebrochen\r\n"
                                    L"  Ergebnis: fehlgeschlagen\r\n"));
  EXPECT_EQ(mModule.gcolStepOutcomes, (std::vector<tStepOutcome>{tStepOutcome::kDone, tStepOutcome::kFailed,
                                                                  tStepOutcome::kDone, tStepOutcome::kDone}));
}

TEST_F(qmCheckTest, ThePlanAndTheRunAgreeOnFilesTheyCannotTouchOrNeedNotCopy) {
  PutUpdaterFiles({{L"h.txt", "new"}, {L"s.txt", "new"}, {L"self.txt", "self"}});
  WriteBytes(shared() + L"\\h.txt", "hidden");
  WriteBytes(shared() + L"\\s.txt", "system");
  SetFileAttributesW((shared() + L"\\h.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW((shared() + L"\\s.txt").c_str(), FILE_ATTRIBUTE_SYSTEM);
  // A library that a running program loaded (this test).
  CopyFixture(L"qmver_2_0_0_0.dll", root() + L"\\abf\\loaded.dll");
  const HMODULE loaded = LoadLibraryW((root() + L"\\abf\\loaded.dll").c_str());
  ASSERT_NE(loaded, nullptr);
  // "copy;.;..." names the updater's own folder, as a Trevalon started from
  // the target folder does.
  WriteScript({"ver;820", "copy;shared;h.txt", "copy;shared;s.txt", "del;abf;*.dll", "copy;.;self.txt"});
  ASSERT_TRUE(Check());
  RunAsPlanned();
  FreeLibrary(loaded);
  EXPECT_EQ(mModule.gcolStepOutcomes, (std::vector<tStepOutcome>{tStepOutcome::kDone, tStepOutcome::kFailed,
                                                                  tStepOutcome::kFailed, tStepOutcome::kFailed,
                                                                  tStepOutcome::kDone, tStepOutcome::kDone}));
  EXPECT_TRUE(Has(Block(Plan(), 5), L"  Aktion: nicht kopieren, Quelle und Ziel sind dieselbe Datei\r\n"));
  EXPECT_TRUE(Has(Text(), L"Kopiere: self.txt   --> Quelle und Ziel sind dieselbe Datei, nichts zu kopieren - "
                          L"erfolgreich \r\n"));
  EXPECT_TRUE(PendingRenames().empty());
}

TEST_F(qmCheckTest, AConfigUpdateFileThatCannotBeWrittenIsAFailureOfThePlanAndTheRun) {
  PutUpdaterFiles({{L"Lib.mda", "library"}});
  // Without a revision and without the folder: the plan says both.
  RemoveDirectoryW((root() + L"\\Shared\\ConfigUpdates").c_str());
  WriteScript({"ver;820", "copy;work;Lib.mda"});
  EXPECT_TRUE(Check());
  EXPECT_TRUE(Has(Plan(), L"Konfigurationsupdate: " + ConfigFile() +
                              L"\r\n  FEHLER: Keine Revisionangabe in Trevalon.ini\r\n  FEHLER: Ordner " + root() +
                              L"\\Shared\\ConfigUpdates: " + ErrorText(ERROR_PATH_NOT_FOUND) +
                              L"\r\n  Inhalt:\r\n    | ~Owner = \"Quenmark\"\r\n"));
  EXPECT_EQ(mModule.gcolStepOutcomes, (std::vector<tStepOutcome>{tStepOutcome::kDone, tStepOutcome::kDone,
                                                                  tStepOutcome::kFailed}));

  // A file in the way: the one the run replaces, held or read-only.
  CreateDirectoryW((root() + L"\\Shared\\ConfigUpdates").c_str(), nullptr);
  const std::wstring file = ConfigFile();
  // A read-only ".tmp" left by an earlier write is the run's own to
  // overwrite.
  const struct {
    const wchar_t* sPath;
    bool bReadOnly;
    tStepOutcome outcome;
  } kCases[] = {{L"", true, tStepOutcome::kFailed},
                {L"", false, tStepOutcome::kFailed},
                {L".tmp", true, tStepOutcome::kDone},
                {L".tmp", false, tStepOutcome::kFailed}};
  WriteScript({"ver;820", "rev;1", "copy;work;Lib.mda"});
  for (const auto& c : kCases) {
    const std::wstring path = file + c.sPath;
    SCOPED_TRACE(qmtest::ToAnsi(path) + (c.bReadOnly ? " read-only" : " held"));
    WriteBytes(path, "old");
    if (c.bReadOnly) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    {
      qmHeldFile held(c.bReadOnly ? root() + L"\\nothing.txt" : path);
      ASSERT_TRUE(Check());
      RunAsPlanned();
      EXPECT_EQ(mModule.gcolStepOutcomes.back(), c.outcome);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    DeleteFileW(file.c_str());
    WaitForToolRecord();
  }
}

// A share or a mapped drive: the server holds the file for another
// workstation, and the renames run before the network is up. Nothing is
// left beside the target then.
TEST_F(qmCheckTest, OnlyALocalFixedVolumeWaitsForTheRestart) {
  const struct {
    UINT nDriveType;
    bool bWaits;
  } kVolumes[] = {{DRIVE_REMOTE, false}, {DRIVE_REMOVABLE, false}, {DRIVE_CDROM, false}, {DRIVE_FIXED, true}};
  PutUpdaterFiles({{L"Daten.txt", "new"}});
  WriteBytes(shared() + L"\\Daten.txt", "old");
  WriteScript({"ver;820", "copy;shared;Daten.txt"});
  SetDriveTypeQuery(PlayedDriveType);
  for (const auto& volume : kVolumes) {
    SCOPED_TRACE(volume.nDriveType);
    gnDriveType = volume.nDriveType;
    qmHeldFile held(shared() + L"\\Daten.txt");
    ASSERT_TRUE(held.held() && Check());
    RunAsPlanned();
    EXPECT_EQ(ExitCodeOf(true, mModule), volume.bWaits ? 3010 : 2);
    EXPECT_EQ(PendingRenames().empty(), !volume.bWaits);
    if (!volume.bWaits) {
      EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Daten.txt" + Failure(ERROR_SHARING_VIOLATION));
      EXPECT_FALSE(AnyFile(shared() + L"\\trv*.tmp"));
    }
  }
  SetDriveTypeQuery(nullptr);
}

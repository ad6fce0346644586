// "copy" entries: plain files, components with versions and registration,
// Access libraries with their lock files, and every failing step.
#include "basCheck.h"
#include "basqmFileVersion.h"
#include "basqmRestart.h"
#include "qmOfficeLineFixture.h"

using qmtest::Exists;
using qmtest::ReadBytes;

// A component is copied only over an older version (or none), and the one
// in the target is registered in any case, a failed registration failing
// the entry (Wine's regsvr32 ends with 5 when DllRegisterServer fails; any
// other exit code is the same branch). An Access library is copied over its lock file with a warning.
TEST_F(qmRunTest, AComponentIsCopiedOnlyOverAnOlderVersionAndAlwaysRegistered) {
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\Comp.DLL");
  CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\new.ocx");
  CopyFixture(L"qmreg_ok_1_0.dll", shared() + L"\\new.ocx");
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\old.dll");
  CopyFixture(L"qmreg_ok_2_0.dll", shared() + L"\\old.dll");
  CopyFixture(L"qmreg_fail.dll", updater() + L"\\bad.dll");
  qmtest::WriteBytes(shared() + L"\\Lib.ldb", "lock");
  PutUpdaterFiles({{L"Lib.mde", "new library"}});
  WriteScript({"ver;820", "copy;shared;Comp.DLL", "copy;shared;new.ocx", "copy;shared;old.dll", "copy;shared;bad.dll",
               "copy;shared;Lib.mde", "copy;shared;Lib.mde"});
  EXPECT_TRUE(Run());
  auto registered = [](const wchar_t* name) { return std::wstring(L"   DLL/OCX Registrierung : ") + name + kOk; };
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Comp.DLL" + kOk + registered(L"Comp.DLL") + L"Kopiere: new.ocx" +
                        kOk + registered(L"new.ocx") +
                        L"Kopiere: old.dll   --> Datei überprungen, da neuer oder vorhanden" + kOk +
                        registered(L"old.dll") + L"Kopiere: bad.dll" + kOk + Failure(L"regsvr32 endete mit dem Exitcode 5") +
                        L"   DLL/OCX Registrierung : bad.dll - FEHLER \r\n" +
                        L"Kopiere: Lib.mde   FEHLER: Office Line aktiv! - Eventuell ist das Kopieren von Lib.mde "
                        L"fehlgeschlagen\r\nKopiere: Lib.mde" + kOk);
  EXPECT_EQ(mModule.glFailedEntries, 2);
  // regsvr32 from the system folder, minimised, on the target, in its
  // folder.
  EXPECT_EQ(RegistrationRecord(shared() + L"\\Comp.DLL"),
            L"regsvr32 \"" + shared() + L"\\Comp.DLL\" -s\r\nshow=" + std::to_wstring(SW_SHOWMINIMIZED) + L"\r\ndir=" +
                shared());
  EXPECT_EQ(ReadBytes(shared() + L"\\new.ocx"), ReadBytes(updater() + L"\\new.ocx"));
  EXPECT_FALSE(Exists(shared() + L"\\Lib.ldb"));
  EXPECT_EQ(ReadBytes(shared() + L"\\Lib.mde"), "new library");
}

TEST_F(qmRunTest, AnAccessLibraryHeldOpenWithItsLockFileIsReplacedAtTheRestartAndStillWarned) {
  PutUpdaterFiles({{L"lib.mda", "new library"}});
  qmHeldFile lock(shared() + L"\\lib.ldb");
  qmHeldFile library(shared() + L"\\lib.mda");
  ASSERT_TRUE(lock.held() && library.held());
  WriteScript({"ver;820", "copy;shared;lib.mda"});
  clsqmMessageText plan;
  ASSERT_TRUE(CheckUpdate(updater(), plan, mModule));
  EXPECT_NE(plan.Text().find(L"  Ergebnis: fehlgeschlagen, Neustart erforderlich\r\n"), std::wstring::npos);
  EXPECT_NE(plan.Text().find(L"1 fehlgeschlagen, 1 mit Neustart - Rückgabewert 2\r\n"), std::wstring::npos);
  EXPECT_TRUE(Run());
  // The lock rule stays: the lock file's deletion fails, and the warning
  // follows; the library itself waits for the restart.
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: lib.mda" + Failure(ERROR_SHARING_VIOLATION) +
                        L"   --> Datei in Benutzung, wird beim nächsten Neustart ersetzt"
                        L"   FEHLER: Office Line aktiv! - Eventuell ist das Kopieren von lib.mda fehlgeschlagen\r\n");
  // Failed by the lock rule, and the restart is needed all the same.
  EXPECT_EQ(mModule.glFailedEntries, 1);
  EXPECT_EQ(mModule.glRestartEntries, 1);
  EXPECT_EQ(ResultLineOf(true, mModule), L"Trevalon erfolgreich - Neustart erforderlich");
  EXPECT_EQ(ExitCodeOf(true, mModule), 2);
}

// A name no file may have is refused before any step (on regsvr32's
// command line its quotes would end the path and make "/u" an argument;
// the other refused characters are rows of the same check, "?" is in the
// check's plan),
// while a deletion pattern still deletes. An empty target folder would name
// the root of the current drive (C: of the test prefix): its lock file must
// stay, its component must be neither compared nor registered.
TEST_F(qmRunTest, FailedCopiesAreReportedAndTheRunGoesOn) {
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\windows"));
  qmtest::WriteBytes(L"C:\\QmLib.ldb", "lock");
  CopyFixture(L"qmreg_ok_2_0.dll", L"C:\\QmComp.dll");
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\QmComp.dll");
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\b.dll");
  PutUpdaterFiles({{L"QmLib.mda", "lib"}, {L"a.dat", "a"}, {L"ro.txt", "new"}, {L"locked.txt", "new"}});
  qmtest::WriteBytes(shared() + L"\\old.tmp", "old");
  qmtest::WriteBytes(shared() + L"\\ro.txt", "old");
  SetFileAttributesW((shared() + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  // Another program writes a source: no restart would help.
  qmHeldFile locked(updater() + L"\\locked.txt");
  WriteScript({"ver;820", "copy;shared;missing.txt", "copy;<OLRoot>\\nope;a.dat", "copy;;a.dat", "copy;;QmLib.mda",
               "copy;;QmComp.dll", "copy;shared;ro.txt", "copy;shared;locked.txt",
               "copy;shared;a\" /u \"b.dll", "copy;shared;a\x01.txt", "copy;shared;b.dll.", "copy;shared;x \\b.dll",
               "del;shared;*.tmp", "copy;shared;a.dat"});
  EXPECT_TRUE(Run());
  const std::wstring invalid = Failure(ERROR_INVALID_NAME);
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: missing.txt" + Failure(ERROR_FILE_NOT_FOUND) +
                        L"Kopiere: a.dat" + Failure(ERROR_PATH_NOT_FOUND) + L"Kopiere: a.dat" +
                        Failure(ERROR_PATH_NOT_FOUND) + L"Kopiere: QmLib.mda" + Failure(ERROR_PATH_NOT_FOUND) +
                        L"Kopiere: QmComp.dll" + Failure(ERROR_PATH_NOT_FOUND) + Failure(ERROR_PATH_NOT_FOUND) +
                        L"   DLL/OCX Registrierung : QmComp.dll - FEHLER \r\n" + L"Kopiere: ro.txt" +
                        Failure(ERROR_ACCESS_DENIED) + L"Kopiere: locked.txt" +
                        Failure(L"Quelle " + updater() + L"\\locked.txt: " + ErrorText(ERROR_SHARING_VIOLATION)) +
                        L"Kopiere: a\" /u \"b.dll" + invalid + L"Kopiere: a\x01.txt" + invalid + L"Kopiere: b.dll." +
                        invalid + L"Kopiere: x \\b.dll" + invalid + L"Lösche: *.tmp" + kOk + L"Kopiere: a.dat" + kOk);
  EXPECT_EQ(ReadBytes(shared() + L"\\ro.txt"), "old");
  EXPECT_EQ(ReadBytes(shared() + L"\\a.dat"), "a");
  EXPECT_FALSE(Exists(shared() + L"\\b.dll"));
  EXPECT_FALSE(Exists(updater() + L"\\b.dll.registered"));
  EXPECT_FALSE(Exists(shared() + L"\\old.tmp"));
  EXPECT_TRUE(Exists(L"C:\\QmLib.ldb"));
  EXPECT_FALSE(Exists(L"C:\\QmComp.dll.registered"));
  // No failure waits for the restart (a file in use does: restart_test).
  EXPECT_EQ(mModule.glFailedEntries, 11);
  EXPECT_EQ(mModule.glRestartEntries, 0);
  SetCurrentDirectoryW(previous);
  for (const wchar_t* name : {L"C:\\QmLib.ldb", L"C:\\QmComp.dll", L"C:\\QmComp.dll.registered"}) DeleteFileW(name);
}

TEST_F(qmRunTest, AFileFromAReadOnlySourceCanBeReplacedByTheNextRun) {
  // Deployment folders on read-only shares or copied from a CD hold
  // read-only files.
  const std::wstring source = updater() + L"\\ro.txt";
  WriteScript({"ver;820", "copy;shared;ro.txt"});
  for (const char* text : {"first", "second"}) {
    SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    PutUpdaterFiles({{L"ro.txt", text}});
    SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(Run());
    EXPECT_EQ(GetFileAttributesW((shared() + L"\\ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  }
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: ro.txt" + kOk);
  EXPECT_EQ(ReadBytes(shared() + L"\\ro.txt"), "second");
}

namespace {

HMODULE WINAPI FailingLoader(LPCWSTR, HANDLE, DWORD) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

}  // namespace

TEST_F(qmRunTest, AComponentWhoseVersionCannotBeReadIsReportedAndCopiedOnlyWhenItsTargetIsReadable) {
  // An older component over a newer one. A scanner or a backup holds the
  // newer one without read sharing: its version is unknown, not 0.0.0.0,
  // and nothing is copied or scheduled.
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\c.dll");
  CopyFixture(L"qmreg_ok_2_0.dll", shared() + L"\\c.dll");
  const std::string newer = ReadBytes(shared() + L"\\c.dll");
  WriteScript({"ver;820", "copy;shared;c.dll"});
  {
    qmHeldFile held(shared() + L"\\c.dll");
    ASSERT_TRUE(held.held());
    EXPECT_TRUE(Run());
  }
  const std::wstring failure = L"Kopiere: c.dll" + Failure(L"Version von " + shared() + L"\\c.dll nicht lesbar: " +
                                                           ErrorText(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Text().substr(0, StartLines(kKey820).size() + failure.size()), StartLines(kKey820) + failure);
  EXPECT_EQ(ReadBytes(shared() + L"\\c.dll"), newer);
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_EQ(mModule.glRestartEntries, 0);
  EXPECT_EQ(mModule.glFailedEntries, 1);

  // Without version.dll the decision fails, and a failed decision copies.
  SetVersionLibraryLoader(FailingLoader);
  const bool bOk = Run();
  SetVersionLibraryLoader(nullptr);
  EXPECT_TRUE(bOk);
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: c.dll" + Failure(ERROR_MOD_NOT_FOUND) +
                        L"   DLL/OCX Registrierung : c.dll" + kOk);
  EXPECT_EQ(ReadBytes(shared() + L"\\c.dll"), ReadBytes(updater() + L"\\c.dll"));
}

namespace {

// Windows' copy meeting a lock while it writes (Wine's locks do not stop
// it): the first part is written, then the copy fails.
BOOL WINAPI CopyFailingPartWay(LPCWSTR, LPCWSTR sTarget, BOOL) {
  qmtest::WriteBytes(sTarget, "half");
  SetLastError(ERROR_LOCK_VIOLATION);
  return FALSE;
}

}  // namespace

TEST_F(qmRunTest, ACopyThatFailsPartWayIsAFailureNeverARestart) {
  PutUpdaterFiles({{L"a.txt", "new"}, {L"b.txt", "new"}});
  qmtest::WriteBytes(shared() + L"\\a.txt", "old");
  WriteScript({"ver;820", "copy;shared;a.txt", "copy;shared;b.txt"});
  SetCopyFileFunction(CopyFailingPartWay);
  const bool bOk = Run();
  SetCopyFileFunction(nullptr);
  EXPECT_TRUE(bOk);
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: a.txt" + Failure(ERROR_LOCK_VIOLATION) + L"Kopiere: b.txt" +
                        Failure(ERROR_LOCK_VIOLATION));
  // A file that was not there before is not left half written.
  EXPECT_FALSE(Exists(shared() + L"\\b.txt"));
  EXPECT_FALSE(AnyFile(shared() + L"\\trv*.tmp"));
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_EQ(mModule.glRestartEntries, 0);
  EXPECT_EQ(mModule.glFailedEntries, 2);
}

// The update run as a whole: start and abort reports, the installation the
// version code selects, target folders, and the log file.
#include "basOfficeLine.h"
#include "basqmSysTools.h"
#include "qmOfficeLineFixture.h"

using qmtest::Exists;
using qmtest::ReadBytes;
using qmtest::ToAnsi;

TEST_F(qmRunTest, WithoutTheInstallationInThe32BitViewTheRunAbortsWithoutLog) {
  // The 32-bit product never reads the 64-bit view: a key there is no
  // installation of it, whichever build of the updater runs.
  SetInstallation(kKey330, false);
  DeleteRegValue(kKey820, L"Root");
  SetRegText(kKey820, L"Root", root(), KEY_WOW64_64KEY);
  PutUpdaterFiles({{L"a.txt", "a"}});
  WriteScript({"ver;820", "log", "copy;shared;a.txt"});
  EXPECT_FALSE(Run());
  EXPECT_EQ(Text(), L"Trevalon startet...\r\nRegistry: HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\8.2\r\n"
                    L"Office Line Pfad:\r\nWindows: C:\\windows\r\n----------------------------------\r\n"
                    L"Pfade für angegebene OL Version nicht ermittelbar - ABBRUCH\r\n");
  EXPECT_EQ(mModule.glCountdownSeconds, 30);
  EXPECT_FALSE(Exists(LogPath()));
  DeleteRegTree(kKey820, KEY_WOW64_64KEY);
}

TEST_F(qmRunTest, FolderKeywordsAndPlaceholdersNameTheTargetFolders) {
  CreateDirectoryW((root() + L"\\Data").c_str(), nullptr);
  WriteScript({"ver;820", "copy;Shared;1.txt", "copy;WORK;2.txt", "copy;Add-In;3.txt", "copy;addin;4.txt",
               "copy;abf;5.txt", "copy;rewe;6.txt", "copy;<OLRoot>\\Data;7.txt", "copy;<olpath>\\Data;<OLRoot>.txt",
               "copy;system32;qm_system32_target.txt"});
  PutUpdaterFiles({{L"1.txt", "x"}, {L"2.txt", "x"}, {L"3.txt", "x"}, {L"4.txt", "x"}, {L"5.txt", "x"},
                   {L"6.txt", "x"}, {L"7.txt", "x"}, {L"qm_system32_target.txt", "32"}});
  // A file for system32 lands where a 32-bit program loads it: on a 64-bit
  // machine that is SysWOW64, whichever build copies it.
  wchar_t wow64[MAX_PATH] = {};
  const UINT n = GetSystemWow64DirectoryW(wow64, MAX_PATH);
  const std::wstring system32 = (n != 0 ? std::wstring(wow64, n) : GetSystemFolder()) + L"\\qm_system32_target.txt";
  DeleteFileW(system32.c_str());
  // The file name's placeholder is replaced too: the source is then looked
  // for below the updater folder by the replaced name, which fails.
  EXPECT_TRUE(Run());
  for (const std::wstring& path : {shared() + L"\\1.txt", work() + L"\\2.txt", root() + L"\\addin\\3.txt",
                                   root() + L"\\addin\\4.txt", root() + L"\\abf\\5.txt", root() + L"\\rewe\\6.txt",
                                   root() + L"\\Data\\7.txt"})
    EXPECT_TRUE(Exists(path)) << ToAnsi(path);
  EXPECT_NE(Text().find(L"Kopiere: " + root() + L".txt - fehlgeschlagen \r\n"), std::wstring::npos);
  EXPECT_EQ(ReadBytes(system32), "32");
  DeleteFileW(system32.c_str());

  tRunValues run(updater(), mtxtInfo, mModule);
  run.sWinRoot = L"C:\\windows";
  EXPECT_EQ(TargetFolderOf(L"windows", run), L"C:\\windows");
  EXPECT_EQ(TargetFolderOf(L"C:\\Temp", run), L"C:\\Temp");
}

// The log replaces an older, longer one; umlauts in it and in the
// configuration update file are the bytes of code page 1252.
TEST_F(qmRunTest, TheLogHoldsTheRunsTextInAnsiOnlyWhenTheScriptAsksForIt) {
  ASSERT_EQ(GetACP(), 1252u) << "the test prefix runs on the Western European code page";
  const std::wstring log = LogPath();
  qmtest::WriteBytes(log, "an older, longer log of an earlier run");
  PutUpdaterFiles({{L"a.mda", "a"}});
  WriteScript({"ver;820", "del;shared;weg.txt", "log", "rev;1", "own;M\xFCller", "copy;work;a.mda"});
  EXPECT_TRUE(Run());
  const std::string bytes = ReadBytes(log);
  EXPECT_EQ(bytes, ToAnsi(Text() + L"\r\n"));
  EXPECT_EQ(bytes.find("L\xF6sche: weg.txt"), ToAnsi(StartLines(kKey820)).size());
  EXPECT_NE(bytes.find("Updatetool wird ausgef\xFChrt:\r\n"), std::string::npos);
  EXPECT_EQ(ReadBytes(ConfigFile(L"M\u00fcller")).substr(0, 19), "~Owner = \"M\xFCller\"\r\n");
  WaitForToolRecord();

  // Without a "log" entry the old log stays; a log that cannot be written
  // is ignored.
  WriteScript({"ver;820"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadBytes(log), bytes);
  DeleteFileW(log.c_str());
  CreateDirectoryW(log.c_str(), nullptr);  // a folder where the log should go
  WriteScript({"ver;820", "log"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey820));
}

TEST_F(qmRunTest, ScriptsSavedAsUnicodeRunFromTheirFirstRecordAndKeepTheirNames) {
  // A lost "ver" record would fall back to this installation.
  SetInstallation(kKey330);
  // No ANSI code page of Western Europe holds this name; read from a quoted
  // record with tabs as separators, its ";" and "," are part of it.
  const std::wstring polish = L"\u0141\u00f3d\u017a;\u0395\u03bb\u03bb\u03ac\u03c2,1.txt";
  PutUpdaterFiles({{L"Müller.txt", "m"}, {polish, "l"}});
  const std::wstring script = L"ver;820\r\ncopy;shared;Müller.txt\r\n\"copy\tshared\t" + polish + L"\"\r\n";
  for (qmtest::tSavedAs as : {qmtest::tSavedAs::kUtf8Bom, qmtest::tSavedAs::kUtf16LE, qmtest::tSavedAs::kUtf16BE}) {
    SCOPED_TRACE(static_cast<int>(as));
    qmtest::WriteBytes(updater() + L"\\Trevalon.ini", qmtest::SavedAs(script, as));
    EXPECT_TRUE(Run());
    EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Müller.txt - erfolgreich \r\nKopiere: " + polish +
                          L" - erfolgreich \r\n");
    EXPECT_EQ(ReadBytes(shared() + L"\\Müller.txt"), "m");
    EXPECT_EQ(ReadBytes(shared() + L"\\" + polish), "l");
    DeleteFileW((shared() + L"\\Müller.txt").c_str());
    DeleteFileW((shared() + L"\\" + polish).c_str());
  }
}

TEST_F(qmRunTest, FoldersNotGivenInFullAreBelowTheUpdaterFolderWhereverTheRunStarted) {
  CreateDirectoryW((updater() + L"\\Addins").c_str(), nullptr);
  PutUpdaterFiles({{L"b.txt", "b"}, {L"l.mda", "l"}});
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\c.dll");
  WriteScript({"ver;820", "rev;1", "copy;..\\OL\\shared;b.txt", "del;Addins;x.tmp", "copy;shared;c.dll",
               "copy;work;l.mda"});
  // Distribution agents start programs in the system folder (a copy to a
  // folder below the updater's: TrevalonSilent.UndoTakesTheLastRunBack...).
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(GetSystemFolder().c_str()));
  const bool bOk = Run();
  SetCurrentDirectoryW(previous);

  EXPECT_TRUE(bOk);
  EXPECT_EQ(ReadBytes(shared() + L"\\b.txt"), "b");
  EXPECT_NE(Text().find(L"Lösche: x.tmpDatei: " + updater() + L"\\Addins\\x.tmp nicht vorhanden"), std::wstring::npos);
  // regsvr32 and the tool run in folders of their own: the component's and
  // the tool's.
  const std::wstring registration = RegistrationRecord(shared() + L"\\c.dll");
  EXPECT_EQ(registration.substr(registration.find(L"\r\ndir=")), L"\r\ndir=" + shared());
  const std::wstring record = WaitForToolRecord();
  EXPECT_EQ(record.substr(record.find(L"\r\ndir=")), L"\r\ndir=" + root() + L"\\Shared");

  tRunValues run(L"\\\\server\\share\\Deploy", mtxtInfo, mModule);
  EXPECT_EQ(TargetFolderOf(L"\\Data", run), L"\\\\server\\share\\Data");
  EXPECT_EQ(TargetFolderOf(L"\\\\other\\x", run), L"\\\\other\\x");
  run.sUpdaterFolder = L"C:\\Deploy";
  EXPECT_EQ(TargetFolderOf(L"\\Data", run), L"C:\\Data");
  EXPECT_EQ(TargetFolderOf(L"c:Data", run), L"C:\\Deploy\\Data");
  EXPECT_EQ(TargetFolderOf(L"D:Data", run), L"D:\\Data");
  EXPECT_EQ(TargetFolderOf(L"D:/Data", run), L"D:/Data");
}


TEST_F(qmRunTest, AnEntryThatFailsUnexpectedlyEndsAloneAndTheRunGoesOn) {
  PutUpdaterFiles({{L"a.txt", "a"}, {L"b.txt", "b"}, {L"l.mda", "l"}});
  WriteScript({"ver;820", "log", "rev;1", "copy;shared;a.txt", "copy;shared;b.txt", "copy;work;l.mda"});
  qmFailingMirror mirror(L"Kopiere: a.txt");
  mtxtInfo.SetListener(&mirror);
  const bool bOk = Run();
  mtxtInfo.SetListener(nullptr);

  EXPECT_TRUE(bOk);
  EXPECT_EQ(Text(), StartLines(kKey820) +
                        L"Kopiere: a.txt - fehlgeschlagen \r\nFehlermeldung: Unerwarteter interner Fehler, der Eintrag "
                        L"wurde abgebrochenKopiere: b.txt - erfolgreich \r\nKopiere: l.mda - erfolgreich \r\n" +
                        ToolLines(L"8.2"));
  EXPECT_EQ(ReadBytes(LogPath()), ToAnsi(Text() + L"\r\n"));
  EXPECT_EQ(mModule.glFailedEntries, 1);
  WaitForToolRecord();
}

TEST_F(qmRunTest, AVersionCodeSelectsItsInstallationAndAnyOtherCodeTheOldest) {
  const struct {
    const char* sCode;
    const wchar_t* sKey;
  } kTable[] = {
      // The table's ends, the move out of "KHK", and the code that kept an
      // older key; the entries between are rows of the same lookup.
      {"320", L"SOFTWARE\\Sage\\KHK\\Office Line\\3.2"}, {"330", L"SOFTWARE\\Sage\\KHK\\Office Line\\3.3"},
      {"340", L"SOFTWARE\\Sage\\Office Line\\3.4"},      {"520", L"SOFTWARE\\Sage\\Office Line\\5.1"},
      {"630", L"SOFTWARE\\Sage\\Office Line\\6.3"},      {"820", L"SOFTWARE\\Sage\\Office Line\\8.2"},
      // Any other code, however close, is the oldest installation's.
      {"8.2", L"SOFTWARE\\Sage\\KHK\\Office Line\\3.3"}, {"821", L"SOFTWARE\\Sage\\KHK\\Office Line\\3.3"},
  };
  SetInstallation(kKey330, false);  // no fallback to hide a wrong key
  for (const auto& row : kTable) {
    SCOPED_TRACE(row.sCode);
    SetInstallation(row.sKey);
    WriteScript({std::string("VER;") + row.sCode});
    EXPECT_TRUE(Run());
    EXPECT_EQ(Text(), StartLines(row.sKey));
    EXPECT_EQ(mModule.glFailedEntries, 0);
    SetInstallation(row.sKey, false);
  }
}

TEST_F(qmRunTest, TheWorkFolderFollowsTheVersionAndTheAccessKey) {
  SetInstallation(kKey330);  // where a script without version goes
  PutUpdaterFiles({{L"lib.mda", "lib"}});
  WriteScript({"copy;work;lib.mda"});  // no version counts as below "330"
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadBytes(access() + L"\\lib.mda"), "lib");
  WriteScript({"ver;330", "copy;work;lib.mda"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadBytes(work() + L"\\lib.mda"), "lib");

  // "320" is below "330" as no version is.
  SetInstallation(L"SOFTWARE\\Sage\\KHK\\Office Line\\3.2");
  DeleteRegValue(kAccessKey, L"Path");
  WriteScript({"ver;320", "copy;work;lib.mda"});
  EXPECT_TRUE(Run());  // a missing Access key does not stop the run
  EXPECT_EQ(Text(), StartLines(L"SOFTWARE\\Sage\\KHK\\Office Line\\3.2") +
                        L"Kopiere: lib.mda - fehlgeschlagen \r\nFehlermeldung: " + ErrorText(ERROR_PATH_NOT_FOUND));
}

// Without a version the entries act (as for 4.4: RegistryEntriesWrite...),
// and a root name counts only at the first or second character.
TEST_F(qmRunTest, RegistryEntriesWithoutVersionAndWithARootNameFurtherInAreWrittenAsGiven) {
  SetInstallation(kKey330);
  WriteScript({"regt;;Q3;z;xxHKEY_LOCAL_MACHINE\\SOFTWARE\\QmTrevalonTest"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey330) + L"Registriere: Q3 - erfolgreich \r\n");
  EXPECT_EQ(ReadRegText(L"xxHKEY_LOCAL_MACHINE\\SOFTWARE\\QmTrevalonTest", L"Q3"), L"z");
  DeleteRegTree(L"xxHKEY_LOCAL_MACHINE");
}

// The update run as a whole: start and abort reports, the installation the
// version code selects, target folders, and the log file.
#include "basOfficeLine.h"
#include "basqmSysTools.h"
#include "qmOfficeLineFixture.h"

#include <stdexcept>

using qmtest::Exists;
using qmtest::ReadBytes;
using qmtest::ToAnsi;

TEST_F(qmRunTest, AScriptForAnInstalledVersionReportsItsKeyRootAndWindowsFolder) {
  WriteScript({"ver;820"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey820));
  EXPECT_EQ(mModule.glFailedEntries, 0);
}

TEST_F(qmRunTest, Version520UsesThe51Installation) {
  SetInstallation(kKey510);
  WriteScript({"VER;520"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey510));
}

TEST_F(qmRunTest, AnUnknownVersionFallsBackToThe33Installation) {
  SetInstallation(kKey330);
  WriteScript({"ver;8.2"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey330));
}

TEST_F(qmRunTest, WithoutTheInstallationTheRunAbortsWithoutLog) {
  SetInstallation(kKey330, false);
  WriteScript({"ver;900", "log", "copy;shared;a.txt"});
  PutUpdaterFile(L"a.txt", "a");
  EXPECT_FALSE(Run());
  EXPECT_EQ(Text(), L"Trevalon startet...\r\nRegistry: HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\KHK\\Office Line\\3.3\r\n"
                    L"Office Line Pfad:\r\nWindows: C:\\windows\r\n----------------------------------\r\n"
                    L"Pfade für angegebene OL Version nicht ermittelbar - ABBRUCH\r\n");
  EXPECT_EQ(mModule.glCountdownSeconds, 30);
  EXPECT_FALSE(Exists(shared() + L"\\a.txt"));
  EXPECT_FALSE(Exists(updater() + L"\\log_" + GetComputerNameText() + L".txt"));
}

TEST_F(qmRunTest, FolderKeywordsAndPlaceholdersNameTheTargetFolders) {
  CreateDirectoryW((root() + L"\\Data").c_str(), nullptr);
  WriteScript({"ver;820", "copy;Shared;1.txt", "copy;WORK;2.txt", "copy;Add-In;3.txt", "copy;addin;4.txt",
               "copy;abf;5.txt", "copy;rewe;6.txt", "copy;<OLRoot>\\Data;7.txt", "copy;<olpath>\\Data;<OLRoot>.txt"});
  for (const wchar_t* name : {L"1.txt", L"2.txt", L"3.txt", L"4.txt", L"5.txt", L"6.txt", L"7.txt"})
    PutUpdaterFile(name, "x");
  // The file name's placeholder is replaced too: the source is then looked
  // for below the updater folder by the replaced name, which fails.
  EXPECT_TRUE(Run());
  for (const std::wstring& path : {shared() + L"\\1.txt", work() + L"\\2.txt", root() + L"\\addin\\3.txt",
                                   root() + L"\\addin\\4.txt", root() + L"\\abf\\5.txt", root() + L"\\rewe\\6.txt",
                                   root() + L"\\Data\\7.txt"}) {
    EXPECT_TRUE(Exists(path)) << testing::internal::String::ShowWideCString(path.c_str());
  }
  EXPECT_NE(Text().find(L"Kopiere: " + root() + L".txt - fehlgeschlagen \r\n"), std::wstring::npos);

  tRunValues run(updater(), mtxtInfo, mModule);
  run.sOLRoot = L"C:\\OL";
  run.sWinRoot = L"C:\\windows";
  EXPECT_EQ(TargetFolderOf(L"System32", run), L"C:\\windows\\system32");
  EXPECT_EQ(TargetFolderOf(L"windows", run), L"C:\\windows");
  EXPECT_EQ(TargetFolderOf(L"C:\\Temp", run), L"C:\\Temp");
}

TEST_F(qmRunTest, TheWorkFolderOfOldVersionsIsTheAccessFolder) {
  SetInstallation(L"SOFTWARE\\Sage\\KHK\\Office Line\\3.2");
  WriteScript({"ver;320", "copy;work;lib.mda"});
  PutUpdaterFile(L"lib.mda", "lib");
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadBytes(access() + L"\\lib.mda"), "lib");
  EXPECT_FALSE(Exists(work() + L"\\lib.mda"));
}

TEST_F(qmRunTest, TheLogHoldsTheRunsTextInAnsi) {
  const std::wstring log = updater() + L"\\log_" + GetComputerNameText() + L".txt";
  qmtest::WriteBytes(log, "an older, longer log of an earlier run");
  WriteScript({"ver;820", "del;shared;weg.txt", "log"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Lösche: weg.txtDatei: " + shared() +
                        L"\\weg.txt nicht vorhanden, insofern erfolgreich \r\n");
  std::string bytes = ReadBytes(log);
  EXPECT_EQ(bytes, ToAnsi(Text() + L"\r\n"));
  if (GetACP() == 1252) {
    EXPECT_NE(bytes.find("L\xF6sche: "), std::string::npos);
  }
}

TEST_F(qmRunTest, WithoutLogEntryAnOldLogStaysAndAnUnwritableLogIsIgnored) {
  const std::wstring log = updater() + L"\\log_" + GetComputerNameText() + L".txt";
  qmtest::WriteBytes(log, "old");
  WriteScript({"ver;820"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadBytes(log), "old");

  DeleteFileW(log.c_str());
  CreateDirectoryW(log.c_str(), nullptr);  // a folder where the log should go
  WriteScript({"ver;820", "log"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey820));
}

TEST_F(qmRunTest, ScriptsSavedAsUnicodeRunFromTheirFirstRecordAndKeepTheirNames) {
  // A lost "ver" record would fall back to this installation.
  SetInstallation(kKey330);
  const std::wstring polish = L"\u0141\u00f3d\u017a.txt";  // no ANSI code page of Western Europe holds it
  PutUpdaterFile(L"Müller.txt", "m");
  PutUpdaterFile(polish, "l");
  const std::wstring script = L"ver;820\r\ncopy;shared;Müller.txt\r\ncopy;shared;" + polish + L"\r\n";
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
  PutUpdaterFile(L"a.txt", "a");
  PutUpdaterFile(L"b.txt", "b");
  PutUpdaterFile(L"l.mda", "l");
  CopyFixture(L"qmreg_ok_1_0.dll", updater() + L"\\c.dll");
  WriteScript({"ver;820", "rev;1", "copy;Addins;a.txt", "copy;..\\OL\\shared;b.txt", "del;Addins;x.tmp",
               "copy;shared;c.dll", "copy;work;l.mda"});
  // Distribution agents start programs in the system folder.
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(GetSystemFolder().c_str()));
  const bool bOk = Run();
  SetCurrentDirectoryW(previous);

  EXPECT_TRUE(bOk);
  EXPECT_EQ(ReadBytes(updater() + L"\\Addins\\a.txt"), "a");
  EXPECT_FALSE(Exists(GetSystemFolder() + L"\\Addins\\a.txt"));
  EXPECT_EQ(ReadBytes(shared() + L"\\b.txt"), "b");
  EXPECT_NE(Text().find(L"Lösche: x.tmpDatei: " + updater() + L"\\Addins\\x.tmp nicht vorhanden"), std::wstring::npos);
  // regsvr32 and the tool run in folders of their own: the component's and
  // the tool's.
  const std::wstring registeredIn = shared();
  EXPECT_EQ(ReadBytes(shared() + L"\\c.dll.registered"),
            std::string(reinterpret_cast<const char*>(registeredIn.data()), registeredIn.size() * sizeof(wchar_t)));
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

namespace {

// An output box that cannot take one of the messages: what it throws
// reaches the run in the middle of an entry.
class qmFailingMirror final : public clsqmMessageText::Listener {
 public:
  explicit qmFailingMirror(std::wstring sTrigger) : msTrigger(std::move(sTrigger)) {}
  void OnReplaced(const std::wstring&) override {}
  void OnAppended(std::wstring_view sPiece) override {
    if (!mbThrown && sPiece.find(msTrigger) != std::wstring_view::npos) {
      mbThrown = true;
      throw std::length_error("the box is full");
    }
  }
  void OnRepaint() override {}

 private:
  std::wstring msTrigger;
  bool mbThrown = false;
};

}  // namespace

TEST_F(qmRunTest, AnEntryThatFailsUnexpectedlyEndsAloneAndTheRunGoesOn) {
  PutUpdaterFile(L"a.txt", "a");
  PutUpdaterFile(L"b.txt", "b");
  PutUpdaterFile(L"l.mda", "l");
  WriteScript({"ver;820", "log", "rev;1", "copy;shared;a.txt", "copy;shared;b.txt", "copy;work;l.mda"});
  qmFailingMirror mirror(L"Kopiere: a.txt");
  mtxtInfo.SetListener(&mirror);
  const bool bOk = Run();
  mtxtInfo.SetListener(nullptr);

  EXPECT_TRUE(bOk);
  EXPECT_EQ(Text(), StartLines(kKey820) +
                        L"Kopiere: a.txt - fehlgeschlagen \r\nFehlermeldung: Unerwarteter interner Fehler, der Eintrag "
                        L"wurde abgebrochenKopiere: b.txt - erfolgreich \r\nKopiere: l.mda - erfolgreich \r\n"
                        L"Updatetool wird ausgeführt:\r\n\r\n  Parameter: \"" +
                        root() + L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe\" 8.2");
  EXPECT_EQ(ReadBytes(shared() + L"\\b.txt"), "b");
  EXPECT_TRUE(Exists(root() + L"\\Shared\\ConfigUpdates\\TrevalonConfig.configupdate"));
  EXPECT_EQ(ReadBytes(updater() + L"\\log_" + GetComputerNameText() + L".txt"), ToAnsi(Text() + L"\r\n"));
  EXPECT_EQ(mModule.glFailedEntries, 1);
  WaitForToolRecord();
}

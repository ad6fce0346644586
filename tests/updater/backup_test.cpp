// Every run keeps what it replaces; /undo puts it back.
#include "basBackup.h"
#include "basCheck.h"
#include "basqmSysTools.h"
#include "qmOfficeLineFixture.h"

using qmtest::ReadBytes;
using qmtest::WriteBytes;

namespace {

int BackupCount(const std::wstring& sRoot) {
  int n = 0;
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW((sRoot + L"\\Trevalon\\Backup\\" + GetComputerNameText() + L"\\2*").c_str(), &data);
  for (BOOL bMore = find != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(find, &data)) ++n;
  FindClose(find);
  return n;
}

}  // namespace

TEST_F(qmRunTest, ARunAndItsUndoLeaveTheInstallationAsItWas) {
  const std::wstring config = ConfigFile(L"QuenmarkTest");
  struct {
    const wchar_t* key;
    std::vector<std::string> script;
  } cases[] = {
      {kKey440,
       {"ver;440", "copy;shared;keep.txt", "copy;shared;neu.txt", "copy;shared;Comp.dll", "del;shared;*.old",
        "regt;;QmText;neu", "regl;QmSub;QmZahl;5", "regt;;QmText;zweimal", "regt;;Lm;y;SOFTWARE\\QmTrevalonTest"}},
      {kKey820, {"ver;820", "rev;1", "own;Quenmark Test", "copy;work;lib.mda", "copy;shared;keep.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script[0]);
    SetInstallation(c.key);
    SetRegText(kKey440, L"QmText", L"alt");
    SetRegText(kKey440, L"QmText", L"64-bit", KEY_WOW64_64KEY);
    PutUpdaterFiles({{L"keep.txt", "new text"}, {L"neu.txt", "added"}, {L"lib.mda", "library"}});
    WriteBytes(shared() + L"\\keep.txt", "old text");
    SetFileAttributesW((shared() + L"\\keep.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteBytes(shared() + L"\\a.old", "a");
    WriteBytes(shared() + L"\\b.old", "b");
    SetFileAttributesW((shared() + L"\\b.old").c_str(), FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    WriteBytes(config, "old config\r\n");
    CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\Comp.dll");
    CopyFixture(L"qmreg_ok_1_0.dll", shared() + L"\\Comp.dll");
    WriteScript(c.script);
    // The backups and the records the stand-ins leave are no part of it.
    const std::vector<std::wstring> except = {L"Trevalon", L".registered", L".cmdline"};
    const std::vector<std::wstring> keys = {kKey440, kOtherBase};
    const tSnapshot before = Snapshot(root(), except, false, keys);

    EXPECT_TRUE(Run());
    EXPECT_EQ(mModule.glFailedEntries, 0) << Text();
    EXPECT_NE(Snapshot(root(), except, false, keys), before);
    (void)WaitForToolRecord();
    DeleteFileW((shared() + L"\\Comp.dll.registered").c_str());

    mModule.gbUndo = true;
    EXPECT_TRUE(Run());
    mModule.gbUndo = false;
    EXPECT_EQ(ExitCodeOf(true, mModule), kExitSuccess) << Text();
    EXPECT_EQ(Differences(before, Snapshot(root(), except, false, keys)), L"") << Text();
    EXPECT_NE(Text().find(kUndoToolNote), std::wstring::npos);
    // The component back in place is registered again.
    if (c.key == kKey440) {
      EXPECT_NE(RegistrationRecord(shared() + L"\\Comp.dll"), L"");
    }
    qmtest::RemoveTree(root() + L"\\Trevalon");
  }
}

TEST_F(qmRunTest, AnUndoOfAFileInUseWaitsForTheRestartAndCancelsTheRunsReplacement) {
  PutUpdaterFiles({{L"Held.txt", "new text"}, {L"Waits.txt", "new waiting"}});
  WriteBytes(shared() + L"\\Held.txt", "old text");
  WriteBytes(shared() + L"\\Waits.txt", "old waiting");
  WriteScript({"ver;820", "copy;shared;Held.txt", "copy;shared;Waits.txt"});
  {
    qmHeldFile waits(shared() + L"\\Waits.txt", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_TRUE(Run());
  }
  EXPECT_EQ(ExitCodeOf(true, mModule), kExitRestartRequired);
  // Held.txt was copied, Waits.txt waits for the restart. The undo meets
  // Held.txt in use and puts the old text back at the restart; the waiting
  // replacement of Waits.txt is taken back.
  ASSERT_EQ(ReadBytes(shared() + L"\\Held.txt"), "new text");
  mModule.gbUndo = true;
  {
    qmHeldFile held(shared() + L"\\Held.txt", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_TRUE(Run());
  }
  EXPECT_EQ(ExitCodeOf(true, mModule), kExitRestartRequired) << Text();
  EXPECT_NE(Text().find(L"Stelle wieder her: " + shared() + L"\\Waits.txt   --> beim Neustart geplante Ersetzung "
                        L"aufgehoben - erfolgreich \r\n"),
            std::wstring::npos)
      << Text();
  const auto renames = PendingRenames();
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0].second, shared() + L"\\Held.txt");
  EXPECT_EQ(ReadBytes(renames[0].first), "old text");
  EXPECT_EQ(ReadBytes(shared() + L"\\Waits.txt"), "old waiting");
}

TEST_F(qmRunTest, UndoCheckChangesNothingAndOnlyTheNewestBackupsAreKept) {
  PutUpdaterFiles({{L"x.txt", "new"}});
  WriteScript({"ver;820", "copy;shared;x.txt"});
  for (int i = 0; i < kBackupsKept + 2; ++i) {
    WriteBytes(shared() + L"\\x.txt", "old " + std::to_string(i));
    EXPECT_TRUE(Run());
  }
  EXPECT_EQ(BackupCount(root()), kBackupsKept);
  WriteBytes(shared() + L"\\x.txt", "changed since");
  mModule.gbUndo = true;
  EXPECT_TRUE(CheckUpdate(updater(), mtxtInfo, mModule));
  EXPECT_NE(Text().find(L"Datei: " + shared() + L"\\x.txt wird aus "), std::wstring::npos) << Text();
  EXPECT_EQ(ReadBytes(shared() + L"\\x.txt"), "changed since");
  EXPECT_EQ(BackupCount(root()), kBackupsKept);
  // The undo itself keeps a backup, and undoes the newest run only.
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadBytes(shared() + L"\\x.txt"), "old " + std::to_string(kBackupsKept + 1));
  EXPECT_EQ(BackupCount(root()), kBackupsKept);
}

TEST_F(qmRunTest, AnEntryWhoseBackupCannotBeMadeChangesNothing) {
  PutUpdaterFiles({{L"x.txt", "new"}});
  WriteBytes(shared() + L"\\x.txt", "old");
  SetRegText(kKey440, L"QmText", L"alt");
  // A file where the backup folder belongs: nothing can be kept.
  WriteBytes(root() + L"\\Trevalon", "in the way");
  struct {
    const char* ver;
    const char* entry;
  } cases[] = {{"ver;820", "copy;shared;x.txt"}, {"ver;820", "del;shared;x.txt"}, {"ver;440", "regt;;QmText;neu"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    SetInstallation(c.ver[4] == '4' ? kKey440 : kKey820);
    WriteScript({c.ver, c.entry});
    EXPECT_TRUE(Run());
    EXPECT_EQ(mModule.glFailedEntries, 1);
    EXPECT_NE(Text().find(Failure(L"Sicherung nicht möglich, nichts geändert: ")),
              std::wstring::npos)
        << Text();
    EXPECT_EQ(ReadBytes(shared() + L"\\x.txt"), "old");
    EXPECT_EQ(ReadRegText(kKey440, L"QmText"), L"alt");
  }
}

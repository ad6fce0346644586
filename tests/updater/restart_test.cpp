// Files that another program holds open: the new file waits beside the
// target for the next restart, a component is registered then too, and the
// entry counts as a success that needs the restart.
#include "basCheck.h"
#include "qmOfficeLineFixture.h"

#include <algorithm>

using qmtest::ReadBytes;

namespace {

constexpr wchar_t kInUse[] = L"   --> Datei in Benutzung, wird beim nächsten Neustart ersetzt";

// The source of the last pending rename to sTarget (the one that wins at
// the restart); empty when there is none.
std::wstring PendingSourceFor(const std::wstring& sTarget) {
  std::wstring sSource;
  for (const auto& [source, target] : PendingRenames()) {
    if (_wcsicmp(target.c_str(), sTarget.c_str()) == 0) sSource = source;
  }
  return sSource;
}

}  // namespace

TEST_F(qmRunTest, AFileInUseWaitsBesideItsTargetForTheRestartUntilALaterRunCopiesOrDeletesIt) {
  PutUpdaterFiles({{L"Addin.txt", "new text"}});
  qmtest::WriteBytes(shared() + L"\\Addin.txt", "old text");
  CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\Comp.dll");
  CopyFixture(L"qmreg_ok_1_0.dll", shared() + L"\\Comp.dll");
  const std::string oldComponent = ReadBytes(shared() + L"\\Comp.dll");
  qmtest::WriteBytes(shared() + L"\\old.tmp", "old");
  // The files waiting beside their targets are no match of a later
  // deletion pattern.
  WriteScript({"ver;820", "copy;shared;Addin.txt", "copy;shared;Comp.dll", "copy;shared;Addin.txt", "del;shared;*.tmp"});
  {
    qmHeldFile text(shared() + L"\\Addin.txt");
    qmHeldFile component(shared() + L"\\Comp.dll", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(text.held() && component.held());
    EXPECT_TRUE(Run());
  }

  // The component in place now (the old one) is registered as always; the
  // new one after the restart.
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Addin.txt" + kInUse + kOk + L"Kopiere: Comp.dll" + kInUse +
                        kOk + L"   DLL/OCX Registrierung : Comp.dll" + kOk +
                        L"   DLL/OCX Registrierung nach Neustart : Comp.dll" + kOk + L"Kopiere: Addin.txt" + kInUse +
                        kOk + L"Lösche: *.tmp" + kOk);
  EXPECT_FALSE(qmtest::Exists(shared() + L"\\old.tmp"));
  EXPECT_EQ(mModule.gcolStepOutcomes,
            (std::vector<tStepOutcome>{tStepOutcome::kDone, tStepOutcome::kRestart, tStepOutcome::kRestart,
                                       tStepOutcome::kRestart, tStepOutcome::kDone, tStepOutcome::kDone}));

  // The targets are untouched until then; the new files wait beside them.
  EXPECT_EQ(ReadBytes(shared() + L"\\Addin.txt"), "old text");
  EXPECT_EQ(ReadBytes(shared() + L"\\Comp.dll"), oldComponent);
  const std::wstring textSource = PendingSourceFor(shared() + L"\\Addin.txt");
  const std::wstring componentSource = PendingSourceFor(shared() + L"\\Comp.dll");
  EXPECT_EQ(textSource.substr(0, textSource.rfind(L'\\')), shared());
  EXPECT_EQ(componentSource.substr(0, componentSource.rfind(L'\\')), shared());
  EXPECT_EQ(ReadBytes(componentSource), ReadBytes(updater() + L"\\Comp.dll"));
  // The second entry for the same file is scheduled after the first: the
  // later one wins at the restart.
  const auto renames = PendingRenames();
  EXPECT_EQ(std::count_if(renames.begin(), renames.end(),
                          [&](const auto& rename) { return rename.second == shared() + L"\\Addin.txt"; }),
            2);
  EXPECT_EQ(ReadBytes(textSource), "new text");

  // regsvr32 of the updater's bitness by its full path, silently.
  const std::wstring regsvr32 =
      sizeof(void*) == 8 ? L"C:\\windows\\system32\\regsvr32.exe" : L"C:\\windows\\syswow64\\regsvr32.exe";
  const std::wstring command = RunOnceCommand(L"Trevalon " + shared() + L"\\Comp.dll");
  EXPECT_EQ(_wcsicmp(command.c_str(), (L"\"" + regsvr32 + L"\" /s \"" + shared() + L"\\Comp.dll\"").c_str()), 0)
      << testing::internal::String::ShowWideCString(command.c_str());

  // A later run that can copy or delete directly takes back what waits for
  // the restart: nothing brings the older files back then.
  CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\Comp.dll");
  WriteScript({"ver;820", "copy;shared;Comp.dll", "del;shared;Addin.txt"});
  clsqmMessageText plan;
  ASSERT_TRUE(CheckUpdate(updater(), plan, mModule));
  EXPECT_NE(plan.Text().find(L"  Aktion: kopieren\r\n  Neustart: die beim Neustart geplante Ersetzung durch " +
                             componentSource + L" wird aufgehoben\r\n"),
            std::wstring::npos);
  EXPECT_NE(plan.Text().find(L"  Löschen: " + shared() + L"\\Addin.txt\r\n  Neustart: die beim Neustart geplante "
                             L"Ersetzung durch " + textSource + L" wird aufgehoben\r\n"),
            std::wstring::npos);
  ASSERT_TRUE(Run());
  const std::wstring cancelled = L"   --> beim Neustart geplante Ersetzung aufgehoben";
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Comp.dll" + cancelled + kOk +
                        L"   DLL/OCX Registrierung : Comp.dll" + kOk + L"Lösche: Addin.txt" + cancelled + kOk);
  EXPECT_EQ(ReadBytes(shared() + L"\\Comp.dll"), ReadBytes(updater() + L"\\Comp.dll"));
  EXPECT_FALSE(qmtest::Exists(shared() + L"\\Addin.txt"));
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_FALSE(qmtest::Exists(componentSource));
  EXPECT_FALSE(qmtest::Exists(textSource));
  EXPECT_EQ(RunOnceCommand(L"Trevalon " + shared() + L"\\Comp.dll"), L"<missing>");
  EXPECT_EQ(mModule.glRestartEntries, 0);
}

TEST_F(qmRunTest, AMappedFileWaitsForTheRestartAndAReadOnlyFileInUseIsRefused) {
  const std::wstring target = shared() + L"\\Daten.txt";
  PutUpdaterFiles({{L"Daten.txt", "new data"}});
  qmtest::WriteBytes(target, "old data");
  WriteScript({"ver;820", "copy;shared;Daten.txt"});
  {
    // Mapped and its handle closed, as programs that read their data files
    // through a view do: nothing holds the file open, but Windows refuses
    // to truncate it.
    HANDLE file = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(Run());
    UnmapViewOfFile(view);
    CloseHandle(mapping);
  }
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Daten.txt" + kInUse + kOk);
  EXPECT_EQ(mModule.glFailedEntries, 0);
  EXPECT_EQ(mModule.glRestartEntries, 1);
  EXPECT_EQ(ReadBytes(target), "old data");
  EXPECT_EQ(ReadBytes(PendingSourceFor(target)), "new data");

  // The same file read-only and in use is still refused, and nothing waits.
  ClearRestartWork();
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
  {
    qmHeldFile held(target, GENERIC_READ);
    ASSERT_TRUE(held.held());
    EXPECT_TRUE(Run());
  }
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: Daten.txt" + Failure(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_EQ(mModule.glRestartEntries, 0);
  EXPECT_EQ(mModule.glFailedEntries, 1);
}

// Trevalon.exe against files that running programs hold open: /silent
// exits with 3010, and when the prefix restarts (wineboot -r, as Windows
// starts again) the new files are in place and the component is registered.
#include "qmTrevalonDriver.h"

#include <gtest/gtest.h>

#include <string>

using namespace qmtest;

class TrevalonRestart : public qmExeTest {};

TEST_F(TrevalonRestart, FilesInUseAreInPlaceAndTheComponentRegisteredAfterTheRestart) {
  const std::wstring component = shared() + L"\\Comp.dll";
  const std::wstring text = shared() + L"\\held.txt";
  CopyFixture(L"qmreg_ok_2_0.dll", updater() + L"\\Comp.dll");
  CopyFixture(L"qmreg_ok_1_0.dll", component);
  WriteBytes(updater() + L"\\held.txt", "new text");
  WriteBytes(text, "old text");
  WriteScript({"ver;820", "copy;shared;Comp.dll", "copy;shared;held.txt"});

  {
    // A running Office Line: its component loaded, a file open for work.
    qmHeldFile loaded(component, GENERIC_READ, FILE_SHARE_READ);
    qmHeldFile open(text);
    ASSERT_TRUE(loaded.held() && open.held());

    // The entries' report lines are the run's, checked in-process.
    EXPECT_EQ(tTrevalonProcess(Program(), L"/silent").WaitForExit(kExitTimeoutMs), 3010u);
  }
  // The files are free again. That the old files stay until the restart, and
  // the renames and RunOnce entry it will carry out, are checked in-process.
  const std::wstring runOnce = RunOnceCommand(L"Trevalon " + component);
  ASSERT_NE(runOnce, L"<missing>");
  // The registration of the old file now is not the one that counts.
  DeleteFileW((component + L".registered").c_str());

  // Restarted as Windows starts again: wineboot carries out the pending
  // renames and runs the RunOnce entries, and ends when they ran.
  ASSERT_NE(tProcess(L"wineboot.exe -r").WaitForExit(120000), static_cast<DWORD>(STILL_ACTIVE));

  // Wine carries out both: the renames and the RunOnce entry.
  EXPECT_EQ(ReadBytes(component), ReadBytes(updater() + L"\\Comp.dll"));
  EXPECT_EQ(ReadBytes(text), "new text");
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_EQ(RunOnceCommand(L"Trevalon " + component), L"<missing>");
  const std::wstring record = RegistrationRecord(component);
  EXPECT_EQ(_wcsicmp(record.substr(0, record.find(L"\r\n")).c_str(), runOnce.c_str()), 0)
      << ToAnsi(record) << "\n" << ToAnsi(runOnce);
}

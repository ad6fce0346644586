// Trevalon.exe /silent, for software distribution tools: one run without a
// window, the log when the script asks for it, and an exit code that tells
// success, failed entries and failure apart.
#include "qmTrevalonDriver.h"

#include <gtest/gtest.h>

#include <string>

using namespace qmtest;

class TrevalonSilent : public qmExeTest {
 protected:
  DWORD RunSilent(const std::wstring& arguments = L"/silent", const std::wstring& currentFolder = L"") {
    return tTrevalonProcess(Program(), arguments, currentFolder).WaitForExit(kExitTimeoutMs);
  }
};

// The run starts in the system folder, as distribution agents start
// programs (a 32-bit updater sees the 32-bit one there): a folder not given
// in full is below the updater's folder all the same.
TEST_F(TrevalonSilent, UndoTakesTheLastRunBackInEveryFormAndItsCheckChangesNothing) {
  CreateDirectoryW((updater() + L"\\Addins").c_str(), nullptr);
  WriteScript({"ver;820", "copy;Addins;readme.txt"});
  WriteBytes(updater() + L"\\readme.txt", "hello");
  const std::wstring target = updater() + L"\\Addins\\readme.txt";

  EXPECT_EQ(RunSilent(L"/undo /silent"), 1u);  // nothing to take back yet
  EXPECT_EQ(RunSilent(L"/silent", L"C:\\windows\\system32"), 0u);
  EXPECT_FALSE(Exists(L"C:\\windows\\system32\\Addins"));
  EXPECT_FALSE(Exists(L"C:\\windows\\syswow64\\Addins"));
  EXPECT_EQ(RunSilent(L"-UNDO --check /silent"), 0u);
  EXPECT_EQ(ReadBytes(target), "hello");
  EXPECT_EQ(RunSilent(L"/silent --Undo"), 0u);
  EXPECT_FALSE(Exists(target));  // the run added it
  EXPECT_EQ(RunSilent(L"/uNdO -silent"), 0u);  // the undo taken back
  EXPECT_EQ(ReadBytes(target), "hello");
}

// The exit code tells success, failed entries, a run that could not start
// and an unknown argument apart; the switch counts in any case (its
// prefixes are those of /check and /undo, whose forms are tried there).
// Only a run that started writes the log the script asks for. In the
// window mode an unknown argument shows the usage and runs nothing.
TEST_F(TrevalonSilent, TheExitCodeTellsTheOutcomeAndTheSwitchCountsInAnyCase) {
  WriteBytes(updater() + L"\\present.txt", "x");
  const struct {
    const char* sScript;
    const wchar_t* sArguments;
    DWORD dwExit;
    bool bLog;
  } kCases[] = {
      {"ver;820\r\nlog\r\n", L"/sIlEnT", 0, true},
      {"ver;820\r\nlog\r\ncopy;shared;missing.txt\r\ncopy;shared;present.txt\r\n", L"/silent", 2, true},
      {"ver;700\r\nlog\r\n", L"/silent", 1, false},  // no installation of that version
      {"ver;820\r\nlog\r\n", L"/silent extra", 87, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sScript);
    DeleteFileW(LogPath().c_str());
    WriteBytes(updater() + L"\\Trevalon.ini", c.sScript);
    EXPECT_EQ(RunSilent(c.sArguments), c.dwExit);
    EXPECT_EQ(Exists(LogPath()), c.bLog);
  }
  EXPECT_EQ(ReadBytes(shared() + L"\\present.txt"), "x");

  DeleteFileW((shared() + L"\\present.txt").c_str());
  WriteScript({"ver;820", "log", "copy;shared;present.txt"});
  tTrevalonProcess trevalon(Program(), L"/update");
  HWND box = trevalon.Dialog(L"Trevalon");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(DialogParts(box).sText.rfind(L"Aufruf: Trevalon.exe [/silent]", 0), 0u) << DialogParts(box).sText;
  Click(GetDlgItem(box, IDOK));
  EXPECT_EQ(trevalon.WaitForExit(kExitTimeoutMs), 87u);
  EXPECT_FALSE(Exists(LogPath()));
  EXPECT_FALSE(Exists(shared() + L"\\present.txt"));
}

TEST_F(TrevalonSilent, StartedFromAConsoleItWritesThePlanAndTheResultLineThere) {
  // As from cmd.exe: a console, and no output redirected.
  WriteScript({"ver;820"});
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(console, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RunSilent(L"/check /silent"), 0u);
  EXPECT_EQ(RunSilent(), 0u);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info));
  std::wstring screen(static_cast<size_t>(info.dwSize.X) * info.dwSize.Y, L' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(console, screen.data(), static_cast<DWORD>(screen.size()), COORD{0, 0}, &read);
  CloseHandle(console);
  FreeConsole();
  EXPECT_NE(screen.find(L"Gesamt: 1 Eintr\u00e4ge, 0 fehlgeschlagen, 0 mit Neustart - R\u00fcckgabewert 0"),
            std::wstring::npos);
  EXPECT_NE(screen.find(L"Trevalon erfolgreich - R\u00fcckgabewert 0"), std::wstring::npos);
}

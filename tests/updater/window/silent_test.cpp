// Trevalon.exe /silent, for software distribution tools: one run without a
// window, the log when the script asks for it, and an exit code that tells
// success, failed entries and failure apart.
#include "qmTrevalonDriver.h"

#include <gtest/gtest.h>

#include <string>

using namespace qmtest;

namespace {

constexpr int kExitTimeoutMs = 60000;

DWORD RunSilent(const tDeployment& deployment, const std::wstring& arguments = L"/silent") {
  tTrevalonProcess trevalon(deployment.Program(), arguments);
  return trevalon.WaitForExit(kExitTimeoutMs);
}

}  // namespace

TEST(TrevalonSilent, RunWithoutFailuresExitsWith0AndWritesTheLogTheScriptAsksFor) {
  tOfficeLine officeLine;
  tDeployment deployment;
  deployment.WriteScript("ver;720\r\nlog\r\ncopy;shared;readme.txt\r\n");
  WriteBytes(deployment.Path(L"readme.txt"), "hello");

  EXPECT_EQ(RunSilent(deployment), 0u);
  EXPECT_EQ(ReadBytes(officeLine.Path(L"shared\\readme.txt")), "hello");
  EXPECT_EQ(ReadBytes(deployment.LogPath()),
            ToAnsi(L"Trevalon startet...\r\n"
                   L"Registry: HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\7.2\r\n"
                   L"Office Line Pfad:" +
                   officeLine.Root() +
                   L"\r\n"
                   L"Windows: C:\\windows\r\n"
                   L"Kopiere: readme.txt - erfolgreich \r\n"
                   L"\r\n"));
}

TEST(TrevalonSilent, UndoTakesTheLastRunBackInEveryFormAndItsCheckChangesNothing) {
  tOfficeLine officeLine;
  tDeployment deployment;
  deployment.WriteScript("ver;720\r\ncopy;shared;readme.txt\r\n");
  WriteBytes(deployment.Path(L"readme.txt"), "hello");
  const std::wstring target = officeLine.Path(L"shared\\readme.txt");

  EXPECT_EQ(RunSilent(deployment, L"/undo /silent"), 1u);  // nothing to take back yet
  EXPECT_EQ(RunSilent(deployment), 0u);
  EXPECT_EQ(RunSilent(deployment, L"-UNDO --check /silent"), 0u);
  EXPECT_EQ(ReadBytes(target), "hello");
  EXPECT_EQ(RunSilent(deployment, L"/silent --Undo"), 0u);
  EXPECT_FALSE(Exists(target));  // the run added it
  EXPECT_EQ(RunSilent(deployment, L"/uNdO -silent"), 0u);  // the undo taken back
  EXPECT_EQ(ReadBytes(target), "hello");
}

// The exit code tells success, failed entries and a run that could not
// start apart; the switch counts in every form and case. Only a run that
// started writes the log.
TEST(TrevalonSilent, TheExitCodeTellsTheOutcomeAndTheSwitchCountsInEveryForm) {
  tOfficeLine officeLine;
  RemoveOfficeLineKey(L"7.0");
  tDeployment deployment;
  WriteBytes(deployment.Path(L"present.txt"), "x");
  const struct {
    const char* sScript;  // nullptr: none
    const wchar_t* sArguments;
    DWORD dwExit;
    bool bLog;
  } kCases[] = {
      {"ver;720\r\n", L"-SILENT", 0, false},
      {"ver;720\r\n", L"--Silent", 0, false},
      {"ver;720\r\nlog\r\n", L"/sIlEnT", 0, true},
      {"ver;720\r\nlog\r\ncopy;shared;missing.txt\r\ncopy;shared;present.txt\r\n", L"/silent", 2, true},
      {nullptr, L"/silent", 1, false},
      {"ver;700\r\nlog\r\n", L"/silent", 1, false},  // no installation of that version
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sScript ? c.sScript : "no script");
    DeleteFileW(deployment.LogPath().c_str());
    DeleteFileW(deployment.Path(L"Trevalon.ini").c_str());
    if (c.sScript) deployment.WriteScript(c.sScript);
    EXPECT_EQ(RunSilent(deployment, c.sArguments), c.dwExit);
    EXPECT_EQ(Exists(deployment.LogPath()), c.bLog);
  }
  EXPECT_EQ(ReadBytes(officeLine.Path(L"shared\\present.txt")), "x");
}

TEST(TrevalonSilent, UnknownArgumentShowsUsageRunsNothingAndExitsWith87) {
  tOfficeLine officeLine;
  tDeployment deployment;
  deployment.WriteScript("ver;720\r\nlog\r\ncopy;shared;readme.txt\r\n");
  WriteBytes(deployment.Path(L"readme.txt"), "hello");

  {
    tTrevalonProcess trevalon(deployment.Program(), L"/update");
    HWND box = trevalon.Dialog(L"Trevalon");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogMessage(box).rfind(L"Aufruf: Trevalon.exe [/silent]", 0), 0u) << DialogMessage(box);
    Click(GetDlgItem(box, IDOK));
    EXPECT_EQ(trevalon.WaitForExit(kExitTimeoutMs), 87u);
  }
  // In silent mode nothing is shown.
  EXPECT_EQ(RunSilent(deployment, L"/silent extra"), 87u);

  EXPECT_FALSE(Exists(deployment.LogPath()));
  EXPECT_FALSE(Exists(officeLine.Path(L"shared\\readme.txt")));
}

TEST(TrevalonSilent, StartedInTheSystemFolderFoldersNotGivenInFullAreBelowTheUpdaterFolder) {
  tOfficeLine officeLine;
  tDeployment deployment;
  CreateDirectoryW(deployment.Path(L"Addins").c_str(), nullptr);
  deployment.WriteScript("ver;720\r\ncopy;Addins;readme.txt\r\n");
  WriteBytes(deployment.Path(L"readme.txt"), "hello");

  // As distribution agents start programs; a 32-bit updater sees the
  // 32-bit system folder there.
  tTrevalonProcess trevalon(deployment.Program(), L"/silent", L"C:\\windows\\system32");
  EXPECT_EQ(trevalon.WaitForExit(kExitTimeoutMs), 0u);
  EXPECT_EQ(ReadBytes(deployment.Path(L"Addins\\readme.txt")), "hello");
  EXPECT_FALSE(Exists(L"C:\\windows\\system32\\Addins"));
  EXPECT_FALSE(Exists(L"C:\\windows\\syswow64\\Addins"));
}

TEST(TrevalonSilent, StartedFromAConsoleItWritesThePlanAndTheResultLineThere) {
  // As from cmd.exe: a console, and no output redirected.
  tOfficeLine officeLine;
  tDeployment deployment;
  deployment.WriteScript("ver;720\r\n");
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(console, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RunSilent(deployment, L"/check /silent"), 0u);
  EXPECT_EQ(RunSilent(deployment), 0u);
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

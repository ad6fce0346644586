// The window of Trevalon.exe as a user sees it: caption, output box,
// countdown and buttons, driven from outside the real program.
#include "frmMain.h"
#include "qmTrevalonDriver.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

using namespace qmtest;

namespace {

// Waits until the automatic run is over: the countdown box shows a number.
bool WaitForCountdown(tTrevalonProcess& trevalon) {
  HWND restzeit = trevalon.Control(IDC_TXTRESTZEIT);
  return WaitUntil(
      [&] {
        const std::wstring text = WindowText(restzeit);
        return !text.empty() && text != L"-" && text != L"Text1";
      },
      kExitTimeoutMs);
}

int Countdown(tTrevalonProcess& trevalon) { return std::stoi(WindowText(trevalon.Control(IDC_TXTRESTZEIT))); }
std::wstring Report(tTrevalonProcess& trevalon) { return WindowText(trevalon.Control(IDC_TXTINFO)); }

}  // namespace

class TrevalonWindow : public qmExeTest {};

// The one slow case: the whole countdown, after which the updater ends by
// itself.
TEST_F(TrevalonWindow, ShowsVersionAndRunningTextThenRunsOnceAndCountsDown10To0) {
  WriteScript({"ver;820", "del;shared;nothing.tmp"});

  // The loaded state lasts only until the first tick, 300 ms: a slow start
  // of the test may miss it, so it gets a few tries.
  bool bSawLoadedState = false;
  for (int attempt = 0; attempt < 3 && !bSawLoadedState; ++attempt) {
    tTrevalonProcess trevalon(Program());
    ASSERT_NE(trevalon.MainWindow(), nullptr);
    const std::wstring info = Report(trevalon);
    const std::wstring restzeit = WindowText(trevalon.Control(IDC_TXTRESTZEIT));
    const bool bUpdateEnabled = IsWindowEnabled(trevalon.Control(IDC_CMDUPDATE));
    EXPECT_EQ(WindowText(trevalon.MainWindow()), L"Trevalon Rev. " TREVALON_TEST_VERSION);
    if (info.rfind(L"Trevalon startet...", 0) == 0) continue;  // too late: the run was over already
    bSawLoadedState = true;
    EXPECT_EQ(info, L"Trevalon läuft....");
    EXPECT_EQ(restzeit, L"-");
    EXPECT_FALSE(bUpdateEnabled);

    ASSERT_TRUE(WaitForCountdown(trevalon));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Countdown(trevalon), 10);
    EXPECT_TRUE(IsWindowEnabled(trevalon.Control(IDC_CMDUPDATE)));
    const std::wstring report = Report(trevalon);
    EXPECT_TRUE(report.ends_with(L" nicht vorhanden, insofern erfolgreich \r\n\r\nTrevalon erfolgreich")) << report;

    HWND restzeitBox = trevalon.Control(IDC_TXTRESTZEIT);
    std::vector<std::wstring> shown;
    bool bReportKept = true;
    WaitUntil(
        [&] {
          bool bAnswered = false;
          const std::wstring text = WindowText(restzeitBox, &bAnswered, 1000);
          if (bAnswered && (shown.empty() || shown.back() != text)) shown.push_back(text);
          // Later ticks only count down: the report stays as it is.
          if (bAnswered && text == L"5") bReportKept = Report(trevalon) == report;
          return !trevalon.bRunning();
        },
        30000, 50);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(trevalon.WaitForExit(0), 0u);
    EXPECT_TRUE(bReportKept);
    // The last value, -1, lasts only until the updater ends on the same tick.
    if (!shown.empty() && shown.back() == L"-1") shown.pop_back();
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"10", L"9", L"8", L"7", L"6", L"5", L"4", L"3", L"2", L"1", L"0"}));
    EXPECT_GE(elapsed, 10000u);  // never before the box has counted down
  }
  EXPECT_TRUE(bSawLoadedState);
}

// A component first: its DllRegisterServer sends WM_SETTINGCHANGE to every
// top-level window, the busy updater's included, and waits for all answers
// before it succeeds. Then each deletion of a missing file reports a line of
// about a hundred characters: far beyond the 30000 characters an edit
// control takes by default.
TEST_F(TrevalonWindow, LongRunKeepsUpdateDisabledAnswersBroadcastsAndShowsEveryMessageScrolledToTheEnd) {
  CopyFixture(L"qmreg_broadcast.dll", updater() + L"\\Env.dll");
  std::vector<std::string> script{"ver;820", "copy;shared;Env.dll"};
  for (int i = 0; i < 400; ++i) script.push_back("del;shared;missing" + std::to_string(i) + ".tmp");
  WriteScript(script);

  tTrevalonProcess trevalon(Program());
  ASSERT_NE(trevalon.MainWindow(), nullptr);
  HWND update = trevalon.Control(IDC_CMDUPDATE);
  HWND restzeit = trevalon.Control(IDC_TXTRESTZEIT);
  // The countdown box shows "-" until the run is over and is set before
  // Update is enabled: an enabled Update seen before the box, at the next
  // moment the window answers, still shows "-" was enabled during the run.
  // Busy moments of the countdown's ticks on a loaded machine do not count.
  bool bSawBusy = false;
  bool bSawEnabled = false;
  bool bUpdateEnabledDuringRun = false;
  WaitUntil(
      [&] {
        bSawEnabled |= IsWindowEnabled(update) != FALSE;
        bool bAnswered = false;
        const std::wstring text = WindowText(restzeit, &bAnswered, 200);
        bSawBusy |= !bAnswered;
        bUpdateEnabledDuringRun |= bSawEnabled && text == L"-";
        return bAnswered && text != L"-";
      },
      kExitTimeoutMs, 10);
  EXPECT_TRUE(bSawBusy) << "the run was too quick to be seen";
  EXPECT_FALSE(bUpdateEnabledDuringRun);

  ASSERT_TRUE(WaitForCountdown(trevalon));
  HWND info = trevalon.Control(IDC_TXTINFO);
  const std::wstring report = WindowText(info);
  EXPECT_GT(report.size(), 35000u);
  EXPECT_NE(report.find(L"Kopiere: Env.dll - erfolgreich \r\n   DLL/OCX Registrierung : Env.dll - erfolgreich \r\n"
                        L"Lösche: missing0.tmpDatei: "),
            std::wstring::npos);
  EXPECT_TRUE(report.ends_with(L"\\shared\\missing399.tmp nicht vorhanden, insofern erfolgreich \r\n\r\n"
                               L"Trevalon erfolgreich"));

  // The last line is in view.
  DWORD_PTR lines = 0, firstVisible = 0;
  SendMessageTimeoutW(info, EM_GETLINECOUNT, 0, 0, SMTO_NORMAL, 5000, &lines);
  SendMessageTimeoutW(info, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_NORMAL, 5000, &firstVisible);
  EXPECT_GT(lines, 400u);
  EXPECT_GT(firstVisible + 60, lines);
  Click(trevalon.Control(IDC_CMDQUIT));
  EXPECT_EQ(trevalon.WaitForExit(10000), 0u);
}

// A run that cannot find Office Line counts down from 30 (its report is the
// run's, checked in-process; the window adds the result line) and writes no
// log. Started from the development folder, the program finds that folder
// from where it lies: 90 seconds, and the update file shown instead of
// starting the tool. Closing the window ends the updater at once.
TEST_F(TrevalonWindow, AnAbortCountsDownFrom30AndTheDevelopmentFolderFrom90) {
  WriteScript({"ver;700", "log"});
  const std::wstring dev = TREVALON_TEST_DEV_FOLDER;
  RemoveTree(dev);
  SHCreateDirectoryExW(nullptr, dev.c_str(), nullptr);
  CopyFixture(L"Trevalon.exe", dev + L"\\Trevalon.exe");
  WriteBytes(dev + L"\\Trevalon.ini", "ver;820\r\nrevision;4\r\nowner;Dev Team\r\ncopy;work;Dev.mda\r\n");
  WriteBytes(dev + L"\\Dev.mda", "library");
  const struct {
    std::wstring sProgram;
    int iCountdown;
    const wchar_t* sReport;
  } kCases[] = {
      {Program(), 30, L"nicht ermittelbar - ABBRUCH\r\n\r\nTrevalon fehlgeschlagen"},
      {dev + L"\\Trevalon.exe", 90, L"Updatetool wird ausgeführt:\r\n\r\nUPDATE FILE: \r\n~Owner = \"Dev Team\"\r\n"},
  };
  for (const auto& c : kCases) {
    tTrevalonProcess trevalon(c.sProgram);
    ASSERT_TRUE(trevalon.MainWindow() && WaitForCountdown(trevalon));
    EXPECT_EQ(Countdown(trevalon), c.iCountdown);
    EXPECT_NE(Report(trevalon).find(c.sReport), std::wstring::npos) << ToAnsi(Report(trevalon));
    PostMessageW(trevalon.MainWindow(), WM_CLOSE, 0, 0);
    EXPECT_EQ(trevalon.WaitForExit(10000), 0u);
  }
  Sleep(1000);  // time for a tool that was started to leave its record
  EXPECT_FALSE(Exists(root() + L"\\Shared\\UpdateConfigTool.cmdline"));
  EXPECT_FALSE(Exists(LogPath()));
  RemoveTree(dev);
}

TEST_F(TrevalonWindow, UpdateRunsAgainAndReportsTheResultInAMessageBox) {
  WriteScript({"ver;820", "del;shared;nothing.tmp"});

  tTrevalonProcess trevalon(Program());
  ASSERT_TRUE(trevalon.MainWindow() && WaitForCountdown(trevalon));
  ASSERT_TRUE(WaitUntil([&] { return Countdown(trevalon) <= 8; }, 10000));

  // A run that completes: its result in a message box, not in the output
  // box, and the countdown starts afresh.
  Click(trevalon.Control(IDC_CMDUPDATE));
  HWND box = trevalon.Dialog(L"Trevalon");
  ASSERT_NE(box, nullptr);
  // Ticks go on while the box is open: the countdown restarted.
  EXPECT_TRUE(WaitUntil([&] { return Countdown(trevalon) >= 9; }, 3000));
  EXPECT_EQ(DialogParts(box).sText, L"Trevalon erfolgreich");
  EXPECT_EQ(DialogParts(box).iButtons, 1);
  EXPECT_FALSE(DialogParts(box).bIcon);
  const std::wstring report = Report(trevalon);
  EXPECT_EQ(report.rfind(L"Trevalon startet...", 0), 0u);
  EXPECT_TRUE(report.ends_with(L" nicht vorhanden, insofern erfolgreich \r\n")) << report;
  Click(GetDlgItem(box, IDOK));
  ASSERT_TRUE(WaitUntil([&] { return trevalon.Dialog(L"Trevalon", 0) == nullptr; }, 10000));

  // A run without its script reports failure.
  DeleteFileW((updater() + L"\\Trevalon.ini").c_str());
  Click(trevalon.Control(IDC_CMDUPDATE));
  box = trevalon.Dialog(L"Trevalon");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(DialogParts(box).sText, L"Trevalon fehlgeschlagen");

  // That run did not restart the countdown, and nobody presses OK: the
  // countdown ends the updater with the box still open.
  EXPECT_EQ(trevalon.WaitForExit(15000), 0u);
}

// Trevalon.exe /check: the plan in the window (no run, no countdown) or,
// with /silent, on the standard output, with the run's exit codes.
#include "frmMain.h"
#include "qmTrevalonDriver.h"

#include <gtest/gtest.h>

#include <string>

using namespace qmtest;

namespace {

constexpr char kPlanStart[] = "Trevalon Pr\xFC" "fung - es wird nichts ver\xE4" "ndert\r\n";

}  // namespace

class TrevalonCheck : public qmExeTest {
 protected:
  // Runs "/check /silent" (or the given switches) with its standard output
  // in a file; the exit code and what was printed.
  DWORD SilentCheck(const std::wstring& arguments, std::string* psOutput) {
    // A file of its own per run: under Wine the previous run's inherited
    // handle may still hold the last one for a moment.
    const std::wstring path = mScratch / (L"stdout" + std::to_wstring(++mRuns) + L".txt");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(output, INVALID_HANDLE_VALUE) << GetLastError();
    const DWORD code = tTrevalonProcess(Program(), arguments, L"", output).WaitForExit(kExitTimeoutMs);
    CloseHandle(output);
    *psOutput = ReadBytes(path);
    return code;
  }
  std::wstring CheckPath() const { return updater() + L"\\check_" + LogPath().substr(updater().size() + 5); }
  int mRuns = 0;
};

// Silently and in the window; neither copies readme.txt.
TEST_F(TrevalonCheck, SilentlyPrintsThePlanAndExitsAsTheRunWouldInTheWindowNeitherRunsNorCountsDown) {
  WriteBytes(updater() + L"\\readme.txt", "hello");
  std::string output;

  WriteScript({"ver;820", "copy;shared;readme.txt", "copy;shared;missing.txt"});
  EXPECT_EQ(SilentCheck(L"/check /silent", &output), 2u);
  // The plan's text is the check's (checked in-process).
  EXPECT_EQ(output.rfind(kPlanStart, 0), 0u) << output;

  // Other forms of both switches (the undo test tries the rest); with "log"
  // the plan also lands beside the updater, and the run's log is not written.
  WriteScript({"ver;820", "log", "copy;shared;readme.txt"});
  EXPECT_EQ(SilentCheck(L"--Silent -CHECK", &output), 0u);
  EXPECT_EQ(ReadBytes(CheckPath()), output);
  EXPECT_FALSE(Exists(LogPath()));

  // Stopping early as for a run (a bad argument ends any mode alike: see
  // the silent test).
  WriteScript({"ver;700"});
  EXPECT_EQ(SilentCheck(L"/check /silent", &output), 1u);

  WriteScript({"ver;820", "copy;shared;readme.txt"});
  tTrevalonProcess trevalon(Program(), L"/check");
  ASSERT_NE(trevalon.MainWindow(), nullptr);
  EXPECT_EQ(WindowText(trevalon.MainWindow()), L"Trevalon Rev. " TREVALON_TEST_VERSION L" - Pr\u00fcfung");
  HWND info = trevalon.Control(IDC_TXTINFO);
  ASSERT_TRUE(WaitUntil([&] { return WindowText(info).find(L"Gesamt: ") != std::wstring::npos; }, kExitTimeoutMs));
  const std::wstring plan = WindowText(info);
  EXPECT_EQ(plan.rfind(L"Trevalon Pr\u00fcfung - es wird nichts ver\u00e4ndert\r\nTrevalon startet...\r\n", 0), 0u);

  // Longer than the countdown of a run: nothing counts, nothing can be
  // started (not even by a click another program sends), nothing was
  // copied.
  PostMessageW(trevalon.MainWindow(), WM_COMMAND, MAKEWPARAM(IDC_CMDUPDATE, BN_CLICKED),
               reinterpret_cast<LPARAM>(trevalon.Control(IDC_CMDUPDATE)));
  Sleep(12000);
  EXPECT_TRUE(trevalon.bRunning());
  EXPECT_EQ(WindowText(trevalon.Control(IDC_TXTRESTZEIT)), L"-");
  EXPECT_FALSE(IsWindowEnabled(trevalon.Control(IDC_CMDUPDATE)));
  EXPECT_EQ(WindowText(info), plan);
  EXPECT_FALSE(Exists(shared() + L"\\readme.txt"));

  Click(trevalon.Control(IDC_CMDQUIT));
  EXPECT_EQ(trevalon.WaitForExit(kExitTimeoutMs), 0u);
}

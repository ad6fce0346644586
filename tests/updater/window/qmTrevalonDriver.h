// Drives the real Trevalon.exe from outside, as a user would: the program
// and its script in the simulated installation's updater folder, and a
// process whose window is found, read and clicked.
#pragma once

#include "qmOfficeLineFixture.h"

#include <windows.h>

#include <string>

namespace qmtest {

// How long a started Trevalon.exe may take for a run.
constexpr int kExitTimeoutMs = 60000;

// The real Trevalon.exe in the updater folder of the simulated
// installation, beside the script the test writes.
class qmExeTest : public qmRunTest {
 protected:
  qmExeTest();
  [[nodiscard]] std::wstring Program() const { return updater() + L"\\Trevalon.exe"; }
};

// One started Trevalon.exe, in currentFolder or in the program's folder (as
// Explorer starts it), with hStdOutput as a distribution agent starts it.
class tTrevalonProcess : public tProcess {
 public:
  tTrevalonProcess(const std::wstring& program, const std::wstring& arguments = L"",
                   const std::wstring& currentFolder = L"", HANDLE hStdOutput = nullptr);

  // The main window (found by its class), or nullptr after iTimeoutMs.
  HWND MainWindow(int iTimeoutMs = 15000);
  HWND Control(int iId);  // a control of the main window
  // A dialog of the process with this title (message boxes), or nullptr.
  HWND Dialog(const std::wstring& title, int iTimeoutMs = 15000);

 private:
  HWND mhwndMain = nullptr;
};

// The text of a window of another process. An empty result with *pbAnswered
// false means the window did not answer in time (its thread is busy).
std::wstring WindowText(HWND hwnd, bool* pbAnswered = nullptr, int iTimeoutMs = 5000);
// Presses a button as a click would.
void Click(HWND button);
// The visible static texts, buttons and icon of a dialog (message boxes).
struct tDialogParts {
  std::wstring sText;
  int iButtons = 0;
  bool bIcon = false;
};
tDialogParts DialogParts(HWND dialog);

}  // namespace qmtest

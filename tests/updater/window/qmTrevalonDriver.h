// Drives the real Trevalon.exe from outside, as a user would: a deployment
// folder with the program and its script, a simulated Office Line
// installation, and a process whose window is found, read and clicked.
#pragma once

#include "qmTestSupport.h"

#include <windows.h>

#include <string>

namespace qmtest {

// An Office Line installation as the updater finds it: the value "Root" of
// HKLM\SOFTWARE\Sage\Office Line\<version> pointing at a folder with shared,
// addin\work and Shared\ConfigUpdates. The key is removed again at the end.
class tOfficeLine {
 public:
  explicit tOfficeLine(const std::wstring& sVersionKey = L"7.2");
  ~tOfficeLine();
  tOfficeLine(const tOfficeLine&) = delete;
  tOfficeLine& operator=(const tOfficeLine&) = delete;
  [[nodiscard]] const std::wstring& Root() const { return mFolder.path(); }
  [[nodiscard]] std::wstring Path(const std::wstring& relative) const { return mFolder / relative; }

 private:
  ScratchFolder mFolder{L"ol"};
  std::wstring msKey;
};

// Makes sure no installation of that version is registered.
void RemoveOfficeLineKey(const std::wstring& sVersionKey);

// A folder holding Trevalon.exe (copied from the build) and its script.
class tDeployment {
 public:
  tDeployment();                                     // a fresh scratch folder
  explicit tDeployment(const std::wstring& folder);  // a given folder, created and removed again
  ~tDeployment();
  tDeployment(const tDeployment&) = delete;
  tDeployment& operator=(const tDeployment&) = delete;
  [[nodiscard]] const std::wstring& Folder() const { return msFolder; }
  [[nodiscard]] std::wstring Path(const std::wstring& name) const { return msFolder + L"\\" + name; }
  [[nodiscard]] std::wstring Program() const { return Path(L"Trevalon.exe"); }
  void WriteScript(const std::string& sAnsiText) const;  // Trevalon.ini, as given
  [[nodiscard]] std::wstring LogPath() const;            // log_<computer name>.txt

 private:
  std::wstring msFolder;
  bool mbOwnFolder = false;
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
// True when the window's thread does not answer within iTimeoutMs: a run is
// in progress.
bool bBusy(HWND hwnd, int iTimeoutMs = 100);
// Presses a button as a click would.
void Click(HWND button);
// Static texts and buttons of a dialog (message boxes).
std::wstring DialogMessage(HWND dialog);
int VisibleButtons(HWND dialog);
bool bHasVisibleIcon(HWND dialog);

}  // namespace qmtest

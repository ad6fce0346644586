// The update run: reads Trevalon.ini beside the updater, finds the Office
// Line installation it names and executes its entries, reporting every step
// into the message text.
#pragma once

#include "clsqmSysRegistry.h"
#include "qmMessageText.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How one step of a run ended (or, for a check, would end): an entry, or
// the configuration update at the end.
enum class tStepOutcome {
  kDone,     // done, or nothing to do
  kRestart,  // done without failure, but a file is replaced only at the next restart
  kFailed,   // at least one failure was reported
};

// Values of the run module that outlive a run. The program owns one; tests
// make their own to start from a clean state.
struct tTrevalonModule {
  std::wstring gsOLRegKey;                         // registry path of the installation key
  std::unique_ptr<clsqmSysRegistry> gobjRegistry;  // created on first registry access
  ULONGLONG gdtCountdownStart = 0;                 // GetTickCount64() when the countdown (re)starts
  int32_t glCountdownSeconds = 0;                  // 0 = no length chosen yet
  int32_t glFailedEntries = 0;                     // entries of the last run that reported a failure
  int32_t glRestartEntries = 0;                    // entries of the last run that left a file for the restart (failed ones too)
  // The last run's (or check's) steps: one per entry in file order, then
  // the configuration update. Empty when it stopped before the entries.
  std::vector<tStepOutcome> gcolStepOutcomes;
  bool gbUndo = false;  // Trevalon.exe /undo: runs and checks restore the newest backup
  // Runs keep no backup: only for the benchmark, which measures what the
  // backup costs against a run without it. No switch sets it.
  bool gbWithoutBackup = false;
};

// The folder the updater is developed in: run from there it counts down 90
// seconds and shows the configuration update instead of starting the tool.
// Set at build time (CMake cache variable TREVALON_DEV_FOLDER).
[[nodiscard]] const std::wstring& DevelopmentFolder();

// Runs the update from sUpdaterFolder (no trailing backslash). True when
// the run reached its end; false when the script is missing or the Office
// Line folders cannot be determined. Failed entries do not make it false;
// they are counted in module.glFailedEntries (a failing configuration
// update at the end counts as one more). A script that cannot be read
// completely (missing, unreadable, a double quote never closed) is not
// executed at all. Entries that leave a file for the next restart are
// counted in module.glRestartEntries, failed ones too.
bool RunUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module);

struct tRunValues;
struct tTrevalonScript;

// For RunUpdate and CheckUpdate, which window procedures and wWinMain call:
// nothing escapes bBody. What does escape it (no memory left even for the
// body's own reports) ends it with a line in txtInfo, and false.
void ReportRunAbort(clsqmMessageText& txtInfo) noexcept;
template <typename tBody>
bool bGuardedRun(clsqmMessageText& txtInfo, tBody bBody) {
  try {
    return bBody();
  } catch (...) {
    ReportRunAbort(txtInfo);
    return false;
  }
}

// The first phases of a run, which the check shares: resets the module's
// counts, reads the script, finds Office Line and reports the start into
// run.txtInfo. False, with the reason reported, when the run stops here.
[[nodiscard]] bool StartRun(tTrevalonScript& script, tRunValues& run);

// One guard for every step of a run and of a check (an entry, or the
// configuration update): whatever the step throws ends that step only. It
// is reported as the step's failure (into run.txtInfo), and the caller goes
// on with the next step.
void ReportStepAbort(tRunValues& run) noexcept;  // inside a catch block only
void ClearEntryFailed(tRunValues& run) noexcept;
template <typename tStep>
void RunGuardedStep(tRunValues& run, tStep step) noexcept {
  try {
    step();
  } catch (...) {
    ReportStepAbort(run);
  }
  ClearEntryFailed(run);
}

// After each entry and after the configuration update: records how the
// step ended (run.bEntryHadFailure, run.bEntryNeedsRestart) in the
// module's counts and outcomes, and clears both flags for the next step.
void RecordStep(tRunValues& run);

// Exit codes of the unattended modes, which software distribution tools
// read: 3010 is the code they take for "succeeded, restart required".
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitRunFailed = 1;
inline constexpr int kExitEntriesFailed = 2;
inline constexpr int kExitBadArguments = 87;  // ERROR_INVALID_PARAMETER
inline constexpr int kExitRestartRequired = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED

// The exit code of a run (or check) that returned bCompleted and left its
// counts in module: 1 when it stopped early, 2 when an entry failed, 3010
// when files wait for the next restart and nothing failed, else 0.
[[nodiscard]] int ExitCodeOf(bool bCompleted, const tTrevalonModule& module);

// The window's result line after a run (no line break).
[[nodiscard]] std::wstring ResultLineOf(bool bCompleted, const tTrevalonModule& module);

#include "basRestartWork.h"

#include "basFailureReport.h"
#include "basqmRestart.h"
#include "basqmSysTools.h"

void CancelEarlierReplacement(tRunValues& run, const std::wstring& sTarget) {
  // Asked once per run (and again once this run left work itself): most
  // machines have nothing waiting, and the registry is not read per file.
  if (run.iOwnRestartWork < 0) run.iOwnRestartWork = bHasOwnRestartWork() ? 1 : 0;
  if (run.iOwnRestartWork == 0) return;
  bool bCancelled = false;
  if (const unsigned long error = CancelReplacementAtRestart(sTarget, &bCancelled); error != 0) {
    ReportFailure(run, L"Die beim Neustart geplante Ersetzung kann nicht aufgehoben werden: " +
                           SystemErrorText(error));
  } else if (bCancelled) {
    run.txtInfo.Append(kReplacementCancelledText);
  }
}

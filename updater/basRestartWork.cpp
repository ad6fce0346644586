#include "basRestartWork.h"

#include "basFailureReport.h"
#include "basqmRestart.h"
#include "basqmSysTools.h"

void CancelEarlierReplacement(tRunValues& run, const std::wstring& sTarget) {
  bool bCancelled = false;
  if (const unsigned long error = CancelReplacementAtRestart(sTarget, &bCancelled); error != 0) {
    ReportFailure(run, L"Die beim Neustart geplante Ersetzung kann nicht aufgehoben werden: " +
                           SystemErrorText(error));
  } else if (bCancelled) {
    run.txtInfo.Append(kReplacementCancelledText);
  }
}

#include "basFailureReport.h"

#include "basqmSysTools.h"

void ReportFailure(tRunValues& run, const std::wstring& sDescription) {
  run.bEntryFailed = true;
  run.bEntryHadFailure = true;
  run.txtInfo.Append(L" - fehlgeschlagen \r\n");
  run.txtInfo.Append(L"Fehlermeldung: " + sDescription);
}

void ReportSystemFailure(tRunValues& run, unsigned long dwError) { ReportFailure(run, SystemErrorText(dwError)); }

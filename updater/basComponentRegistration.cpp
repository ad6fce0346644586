#include "basComponentRegistration.h"

#include "basFailureReport.h"
#include "basqmProcess.h"
#include "basqmSysTools.h"

#include <windows.h>

namespace {

// Runs regsvr32 for sPath and waits for it. Empty when it registered the
// file; else the description of the failure.
std::wstring RegistrationFailure(const std::wstring& sPath, const std::wstring& sFolder) {
  // By full path from the system folder: regsvr32 must never be taken from
  // the updater's folder, which holds the files being installed and may
  // run elevated. (A 32-bit updater on 64-bit Windows is sent to the 32-bit
  // regsvr32 by the file system redirection.)
  const std::wstring systemFolder = GetSystemFolder();
  if (systemFolder.empty()) return SystemErrorText(GetLastError());

  qmUniqueKernelHandle process;
  // In the component's folder, where the component itself will later be
  // loaded from, whichever folder the updater was started in.
  if (DWORD error = StartProcess(systemFolder + L"\\regsvr32.exe", L"regsvr32 \"" + sPath + L"\" -s",
                                 SW_SHOWMINIMIZED, sFolder, &process);
      error != 0) {
    return SystemErrorText(error);
  }
  switch (WaitForProcess(process.get(), kRegistrationTimeoutMs)) {
    case WAIT_OBJECT_0:
      break;
    case WAIT_TIMEOUT:
      return L"regsvr32 hat sich nach " + std::to_wstring(kRegistrationTimeoutMs / 1000) +
             L" Sekunden nicht beendet";
    default:
      return SystemErrorText(GetLastError());
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) return SystemErrorText(GetLastError());
  if (exitCode != 0) return L"regsvr32 endete mit dem Exitcode " + std::to_wstring(exitCode);
  return std::wstring();
}

}  // namespace

void RegisterComponent(tRunValues& run, const std::wstring& sFile) {
  // Without a target folder the path would name a file in the root of the
  // current drive, which the entry never meant to register.
  if (run.sTarget.empty()) {
    ReportSystemFailure(run, ERROR_PATH_NOT_FOUND);
  } else if (std::wstring failure = RegistrationFailure(run.sTarget + L"\\" + sFile, run.sTarget);
             !failure.empty()) {
    ReportFailure(run, failure);
  }
  run.txtInfo.Append(L"   DLL/OCX Registrierung : " + sFile);
  run.txtInfo.Append(run.bEntryFailed ? L" - FEHLER \r\n" : L" - erfolgreich \r\n");
  run.bEntryFailed = false;
}

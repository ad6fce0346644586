#include "basComponentRegistration.h"

#include "basFailureReport.h"
#include "basqmProcess.h"
#include "basqmRestart.h"
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
  if (DWORD error = StartProcess(systemFolder + L"\\regsvr32.exe", RegistrationCommandLine(sPath),
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

// The folder of the regsvr32 that matches the updater's bitness, as a
// program of the system's own bitness names it.
std::wstring RegistrationToolFolder() {
#ifndef _WIN64
  // A 32-bit updater on 64-bit Windows: its "system32" is SysWOW64, where
  // the 32-bit regsvr32 lives; the shell that runs RunOnce entries would
  // find the 64-bit one under the name system32.
  wchar_t buffer[MAX_PATH + 1] = {};
  const UINT n = GetSystemWow64DirectoryW(buffer, MAX_PATH + 1);
  if (n != 0 && n <= MAX_PATH) return std::wstring(buffer, n);
#endif
  return GetSystemFolder();
}

}  // namespace

std::wstring RegistrationCommandLine(const std::wstring& sPath) { return L"regsvr32 \"" + sPath + L"\" -s"; }

std::wstring RegistrationAtRestartCommandLine(const std::wstring& sPath) {
  return L"\"" + RegistrationToolFolder() + L"\\regsvr32.exe\" /s \"" + sPath + L"\"";
}

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

void RegisterComponentAtRestart(tRunValues& run, const std::wstring& sFile) {
  const std::wstring path = run.sTarget + L"\\" + sFile;
  // One entry per component: a second run before the restart replaces it
  // instead of registering twice.
  if (unsigned long error = ScheduleRunOnce(L"Trevalon " + path, RegistrationAtRestartCommandLine(path));
      error != ERROR_SUCCESS) {
    ReportSystemFailure(run, error);
  }
  run.txtInfo.Append(L"   DLL/OCX Registrierung nach Neustart : " + sFile);
  run.txtInfo.Append(run.bEntryFailed ? L" - FEHLER \r\n" : L" - erfolgreich \r\n");
  run.bEntryFailed = false;
}

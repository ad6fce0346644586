// Registration of a copied DLL or OCX with the system's regsvr32.
#pragma once

#include "tRunValues.h"

#include <string>

// Registers run.sTarget + "\" + sFile silently and reports
// "   DLL/OCX Registrierung : " + sFile with the outcome.
void RegisterComponent(tRunValues& run, const std::wstring& sFile);

// After RegisterComponent, for a component whose replacement waits for the
// next restart: has Windows run regsvr32 once on it then (a RunOnce entry)
// and reports "   DLL/OCX Registrierung nach Neustart : " + sFile with the
// outcome.
void RegisterComponentAtRestart(tRunValues& run, const std::wstring& sFile);

// The command line with which regsvr32 registers sPath silently at the next
// start of Windows: regsvr32 by its full path, of the updater's bitness
// (the RunOnce entry is started by the system's native shell).
[[nodiscard]] std::wstring RegistrationAtRestartCommandLine(const std::wstring& sPath);

// The command line regsvr32 is started with now (its program is
// GetSystemFolder() + "\regsvr32.exe").
[[nodiscard]] std::wstring RegistrationCommandLine(const std::wstring& sPath);

// How long the run waits for regsvr32 before it reports the registration
// as failed (the tool is left running).
inline constexpr unsigned long kRegistrationTimeoutMs = 60000;

// Registration of a copied DLL or OCX with the system's regsvr32.
#pragma once

#include "tRunValues.h"

#include <string>

// Registers run.sTarget + "\" + sFile silently and reports
// "   DLL/OCX Registrierung : " + sFile with the outcome.
void RegisterComponent(tRunValues& run, const std::wstring& sFile);

// How long the run waits for regsvr32 before it reports the registration
// as failed (the tool is left running).
inline constexpr unsigned long kRegistrationTimeoutMs = 60000;

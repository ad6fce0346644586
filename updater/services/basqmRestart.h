// Work left for the next restart of Windows: a file that another program
// holds open is replaced then, and a program (regsvr32) runs once then.
#pragma once

#include <string>

// True for the errors with which Windows refuses to write a file that
// another program holds open: a sharing violation, a lock, or a view of the
// file in another program's memory (which outlives the handle that made it,
// so nothing else shows the file is in use). Only these are left for the
// restart; every other failure stays a failure.
[[nodiscard]] bool bIsFileInUseError(unsigned long dwError);

// Copies sSource beside sTarget under a temporary name (in sTarget's
// folder, so the rename at the restart stays on its volume) and has
// Windows move it over sTarget at the next restart. Returns 0, or the Win32
// error of the step that failed; nothing is left behind then. Needs the
// right to write HKEY_LOCAL_MACHINE, where Windows keeps the pending
// renames.
[[nodiscard]] unsigned long ScheduleReplacementAtRestart(const std::wstring& sSource, const std::wstring& sTarget);

// The key below HKEY_LOCAL_MACHINE whose values Windows runs once at the
// next start (in the native registry view, which Windows reads on every
// architecture).
inline constexpr wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Adds sCommandLine as the value sName of the RunOnce key (native view).
// Returns 0 or the Win32 error.
[[nodiscard]] unsigned long ScheduleRunOnce(const std::wstring& sName, const std::wstring& sCommandLine);

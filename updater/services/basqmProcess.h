// Starting other programs: the component registration tool and Office
// Line's configuration tool.
#pragma once

#include "qmHandle.h"

#include <windows.h>

#include <string>

// Starts sCommandLine with its main window shown as nShow (SW_...). When
// sApplication is not empty it names the program file by full path and no
// search takes place; sCommandLine is then only the arguments the program
// sees. Returns 0 and the process handle in process (when not null), or the
// Win32 error of the start.
[[nodiscard]] DWORD StartProcess(const std::wstring& sApplication, const std::wstring& sCommandLine, WORD nShow,
                                 qmUniqueKernelHandle* process);

// Starting other programs: the component registration tool and Office
// Line's configuration tool.
#pragma once

#include "qmHandle.h"

#include <windows.h>

#include <string>

// Starts sCommandLine with its main window shown as nShow (SW_...), in the
// current folder sCurrentFolder (a full path: the program never inherits
// the folder the updater was started in). When sApplication is not empty
// it names the program file by full path and no search takes place;
// sCommandLine is then only the arguments the program sees. Returns 0 and
// the process handle in process (when not null), or the Win32 error of the
// start.
[[nodiscard]] DWORD StartProcess(const std::wstring& sApplication, const std::wstring& sCommandLine, WORD nShow,
                                 const std::wstring& sCurrentFolder, qmUniqueKernelHandle* process);

// Waits up to dwTimeoutMs for process to end, like WaitForSingleObject, and
// answers in the meantime the messages that other programs send to this
// thread's windows: a component whose registration broadcasts a message
// (WM_SETTINGCHANGE, WM_FONTCHANGE) waits for every top-level window's
// answer, and would otherwise wait for ours until the timeout. Posted
// messages (input, timer ticks, clicks) stay queued.
[[nodiscard]] DWORD WaitForProcess(HANDLE process, DWORD dwTimeoutMs);

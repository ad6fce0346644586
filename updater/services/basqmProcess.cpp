#include "basqmProcess.h"

#include <vector>

DWORD StartProcess(const std::wstring& sApplication, const std::wstring& sCommandLine, WORD nShow,
                   const std::wstring& sCurrentFolder, qmUniqueKernelHandle* process) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = nShow;
  PROCESS_INFORMATION info{};
  // CreateProcessW may write into the command line.
  std::vector<wchar_t> commandLine(sCommandLine.begin(), sCommandLine.end());
  commandLine.push_back(L'\0');
  if (!CreateProcessW(sApplication.empty() ? nullptr : sApplication.c_str(), commandLine.data(), nullptr, nullptr,
                      FALSE, 0, nullptr, sCurrentFolder.c_str(), &startup, &info)) {
    return GetLastError();
  }
  qmUniqueKernelHandle thread(info.hThread);
  qmUniqueKernelHandle started(info.hProcess);
  if (process) *process = std::move(started);
  return ERROR_SUCCESS;
}

DWORD WaitForProcess(HANDLE process, DWORD dwTimeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return WaitForSingleObject(process, 0);
    const DWORD result =
        MsgWaitForMultipleObjectsEx(1, &process, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (result != WAIT_OBJECT_0 + 1) return result;
    // Any PeekMessage call delivers the messages sent to this thread; with
    // these flags it neither removes nor dispatches a posted one.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

#include "basqmProcess.h"

#include <vector>

DWORD StartProcess(const std::wstring& sApplication, const std::wstring& sCommandLine, WORD nShow,
                   qmUniqueKernelHandle* process) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = nShow;
  PROCESS_INFORMATION info{};
  // CreateProcessW may write into the command line.
  std::vector<wchar_t> commandLine(sCommandLine.begin(), sCommandLine.end());
  commandLine.push_back(L'\0');
  if (!CreateProcessW(sApplication.empty() ? nullptr : sApplication.c_str(), commandLine.data(), nullptr, nullptr,
                      FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return GetLastError();
  }
  qmUniqueKernelHandle thread(info.hThread);
  qmUniqueKernelHandle started(info.hProcess);
  if (process) *process = std::move(started);
  return ERROR_SUCCESS;
}

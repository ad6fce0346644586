#include "basqmRestart.h"

#include "clsqmSysRegistry.h"

#include <windows.h>

bool bIsFileInUseError(unsigned long dwError) {
  return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION || dwError == ERROR_USER_MAPPED_FILE;
}

unsigned long ScheduleReplacementAtRestart(const std::wstring& sSource, const std::wstring& sTarget) {
  const size_t slash = sTarget.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : sTarget.substr(0, slash);
  // A name of its own for every scheduled file: a second run before the
  // restart schedules its file after the first, and the later one wins.
  wchar_t temporary[MAX_PATH + 1] = {};
  if (GetTempFileNameW(folder.c_str(), L"trv", 0, temporary) == 0) return GetLastError();
  unsigned long error = ERROR_SUCCESS;
  if (!CopyFileW(sSource.c_str(), temporary, FALSE)) {
    error = GetLastError();
  } else {
    // From a read-only source the copy is read-only too, and the file that
    // takes the target's place must stay replaceable by the next update.
    const DWORD attributes = GetFileAttributesW(temporary);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesW(temporary, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (!MoveFileExW(temporary, sTarget.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
      error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) DeleteFileW(temporary);
  return error;
}

unsigned long ScheduleRunOnce(const std::wstring& sName, const std::wstring& sCommandLine) {
  const clsqmSysRegistry registry(KEY_WOW64_64KEY);
  tRegValue value = sCommandLine;
  return static_cast<unsigned long>(registry.RegValueSet(HKEY_LOCAL_MACHINE, kRunOnceKey, sName, value, false, true));
}

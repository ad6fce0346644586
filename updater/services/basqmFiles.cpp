#include "basqmFiles.h"

#include "qmHandle.h"

#include <windows.h>

bool bFileExists(const std::wstring& sPath) {
  if (sPath.empty()) return false;
  WIN32_FIND_DATAW data{};
  qmUniqueFind find(FindFirstFileW(sPath.c_str(), &data));
  if (!find) return false;
  constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  do {
    if ((data.dwFileAttributes & kNotNormal) == 0) return true;
  } while (FindNextFileW(find.get(), &data));
  return false;
}

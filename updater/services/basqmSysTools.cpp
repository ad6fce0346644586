#include "basqmSysTools.h"

#include <windows.h>

std::wstring GetComputerNameText() {
  wchar_t buffer[256] = {};
  DWORD size = 255;
  if (!GetComputerNameW(buffer, &size)) return std::wstring();
  return std::wstring(buffer, wcsnlen(buffer, 255));
}

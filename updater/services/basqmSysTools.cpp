#include "basqmSysTools.h"

#include <windows.h>

std::wstring GetComputerNameText() {
  wchar_t buffer[256] = {};
  DWORD size = 255;
  if (!GetComputerNameW(buffer, &size)) return std::wstring();
  return std::wstring(buffer, wcsnlen(buffer, 255));
}

std::wstring SystemErrorText(unsigned long dwError) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, dwError, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n != 0 && buffer != nullptr) text.assign(buffer, n);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
  if (text.empty()) text = L"Fehler " + std::to_wstring(dwError);
  return text;
}

std::wstring GetSystemFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return std::wstring();
  std::wstring folder(buffer, n);
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

#include "basqmTextFile.h"

#include "qmHandle.h"

#include <windows.h>

#include <climits>

namespace {

// Converted and written in slices, so a text of any length fits the int
// and DWORD counts of the conversion and WriteFile. A slice never ends
// between the two halves of a surrogate pair.
constexpr size_t kSlice = 1 << 20;

}  // namespace

unsigned long WriteAnsiFile(const std::wstring& sPath, const std::wstring& sText) {
  qmUniqueFile file(CreateFileW(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();

  std::string bytes;
  for (size_t at = 0; at < sText.size();) {
    size_t len = sText.size() - at < kSlice ? sText.size() - at : kSlice;
    if (at + len < sText.size() && IS_HIGH_SURROGATE(sText[at + len - 1])) --len;
    int n = WideCharToMultiByte(CP_ACP, 0, sText.data() + at, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
    bytes.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, 0, sText.data() + at, static_cast<int>(len), bytes.data(), n, nullptr, nullptr);
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return GetLastError();
    }
    if (written != bytes.size()) return ERROR_WRITE_FAULT;
    at += len;
  }
  if (!file.close()) return GetLastError();
  return ERROR_SUCCESS;
}

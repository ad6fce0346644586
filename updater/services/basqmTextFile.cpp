#include "basqmTextFile.h"

#include "qmHandle.h"

#include <climits>

namespace {

// Converted and written in slices, so a text of any length fits the int
// and DWORD counts of the conversion and WriteFile. A slice never ends
// between the two halves of a surrogate pair.
constexpr size_t kSlice = 1 << 20;

tWriteFileFn gpfnWriteFile = nullptr;

size_t SliceLength(std::wstring_view sText, size_t at) {
  size_t len = sText.size() - at < kSlice ? sText.size() - at : kSlice;
  if (at + len < sText.size() && IS_HIGH_SURROGATE(sText[at + len - 1])) --len;
  return len;
}

}  // namespace

unsigned long WriteAnsiText(HANDLE file, const std::wstring& sText) {
  const tWriteFileFn write = gpfnWriteFile ? gpfnWriteFile : WriteFile;
  std::string bytes;
  for (size_t at = 0; at < sText.size();) {
    const size_t len = SliceLength(sText, at);
    int n = WideCharToMultiByte(CP_ACP, 0, sText.data() + at, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
    bytes.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, 0, sText.data() + at, static_cast<int>(len), bytes.data(), n, nullptr, nullptr);
    DWORD written = 0;
    if (!write(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return GetLastError();
    if (written != bytes.size()) return ERROR_WRITE_FAULT;
    at += len;
  }
  return ERROR_SUCCESS;
}

unsigned long WriteAnsiFile(const std::wstring& sPath, const std::wstring& sText) {
  qmUniqueFile file(CreateFileW(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  if (unsigned long error = WriteAnsiText(file.get(), sText); error != ERROR_SUCCESS) return error;
  if (!file.close()) return GetLastError();
  return ERROR_SUCCESS;
}

unsigned long ReplaceAnsiFile(const std::wstring& sPath, const std::wstring& sText) {
  // Beside the file, so the move below stays on its volume and is one step.
  // The name does not end like the file's, so nobody who looks for such
  // files takes the half-written one.
  const std::wstring temporary = sPath + L".tmp";
  // A read-only file is not replaced (Windows refuses it; Wine would not).
  const DWORD attributes = GetFileAttributesW(sPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
  // A temporary file that an earlier write left read-only is still ours:
  // kept, it would refuse every later write.
  if (const DWORD left = GetFileAttributesW(temporary.c_str());
      left != INVALID_FILE_ATTRIBUTES && (left & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(temporary.c_str(), left & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  qmUniqueFile file(
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  unsigned long error = WriteAnsiText(file.get(), sText);
  // On the disk before it takes the old file's place: after a crash the
  // name holds the old content or the whole new one.
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file.get())) error = GetLastError();
  if (!file.close() && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS &&
      !MoveFileExW(temporary.c_str(), sPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != ERROR_SUCCESS) DeleteFileW(temporary.c_str());
  return error;
}

bool bFitsAnsiCodePage(std::wstring_view sText) {
  // UTF-8 as the ANSI code page (a Windows option) holds every character
  // and takes neither the flag nor the question.
  const bool bUtf8 = GetACP() == CP_UTF8;
  for (size_t at = 0; at < sText.size();) {
    const size_t len = SliceLength(sText, at);
    BOOL bUsedDefault = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, sText.data() + at,
                                      static_cast<int>(len), nullptr, 0, nullptr, bUtf8 ? nullptr : &bUsedDefault);
    if (n == 0 || bUsedDefault) return false;
    at += len;
  }
  return true;
}

void SetTextFileWriter(tWriteFileFn pfnWriteFile) { gpfnWriteFile = pfnWriteFile; }

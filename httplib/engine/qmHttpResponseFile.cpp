#include "qmHttpResponseFile.h"

#include <cwchar>
#include <utility>

namespace korvanet {

DWORD qmResponseFile::Create(const std::wstring& target) {
  Discard();
  const size_t slash = target.find_last_of(L"\\/");
  if (target.empty() || slash == target.size() - 1) return ERROR_INVALID_NAME;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  // Found out now rather than after the whole download.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
    return ERROR_ACCESS_DENIED;
  // Beside the target, so that the final move is a rename on one volume.
  static LONG counter = 0;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    wchar_t suffix[40] = {};
    swprintf(suffix, 40, L".%lx-%lx.part", GetCurrentProcessId(),
             static_cast<unsigned long>(InterlockedIncrement(&counter)));
    std::wstring part = target + suffix;
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    error = GetLastError();
    mFile.reset(file);
    if (mFile) {
      mTarget = target;
      mPart = std::move(part);
      return 0;
    }
  }
  return error;
}

DWORD qmResponseFile::Write(const char* data, size_t size) {
  while (size > 0) {
    const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(mFile.get(), data, piece, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    data += written;
    size -= written;
  }
  return 0;
}

DWORD qmResponseFile::Commit() {
  mFile.reset();
  DWORD error = 0;
  if (!MoveFileExW(mPart.c_str(), mTarget.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error == 0) mPart.clear();
  Discard();
  return error;
}

void qmResponseFile::Discard() {
  mFile.reset();
  if (!mPart.empty()) DeleteFileW(mPart.c_str());
  mPart.clear();
  mTarget.clear();
}

}  // namespace korvanet

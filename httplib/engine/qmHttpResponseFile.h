// Where a download goes. The body is written to a part file beside the
// target, and the part file replaces the target in one step once the body
// is complete; until then the target, and any older file of that name, stay
// as they were. A part file that is not committed is deleted.
#pragma once

#include <windows.h>

#include <string>

#include "qmComTypes.h"

namespace korvanet {

class qmResponseFile {
 public:
  qmResponseFile() = default;
  ~qmResponseFile() { Discard(); }
  qmResponseFile(const qmResponseFile&) = delete;
  qmResponseFile& operator=(const qmResponseFile&) = delete;

  // Creates the part file beside target (a full path). Returns 0 or the
  // system's error: the folder is missing, cannot be written, or the target
  // is a folder or read-only, so the body could never replace it.
  DWORD Create(const std::wstring& target);
  bool IsOpen() const { return static_cast<bool>(mFile); }
  // Appends to the part file; 0 or the system's error (a full disk).
  DWORD Write(const char* data, size_t size);
  // Moves the part file over the target; 0 or the system's error, and then
  // the part file is gone and the target as it was.
  DWORD Commit();
  // Deletes the part file, if any.
  void Discard();

 private:
  std::wstring mTarget;
  std::wstring mPart;
  qmFileHandle mFile;
};

}  // namespace korvanet

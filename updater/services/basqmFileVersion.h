// Version resources of executable files, and the decision whether a file
// is to replace another by its version.
#pragma once

#include <cstdint>
#include <string>

struct tFileVersion {
  std::wstring sFileName;     // the path after its last backslash
  std::wstring sFileType;     // German text for dwFileType, may be empty
  std::wstring sFileVersion;  // "major.minor.build.revision", unsigned decimal
  std::wstring sFullPath;     // the path as passed in
};

// Never fails: a missing file or one without a version resource gives
// "0.0.0.0" and the type "Unbekannt".
[[nodiscard]] tFileVersion GetFileVersion(const std::wstring& sFilePath);

// True when the source is to replace the target: when either is not an
// existing normal file (hidden and system files count as absent), or when
// the source's version is higher. Versions are compared as four unsigned
// 16-bit numbers, major first, so 1.10 is newer than 1.9.
[[nodiscard]] bool bIsNewerFile(const std::wstring& sSourcePath, const std::wstring& sTargetPath);

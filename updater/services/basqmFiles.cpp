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

namespace {

bool bFileIdOf(const std::wstring& sPath, BY_HANDLE_FILE_INFORMATION* pInfo) {
  // No access to the contents: a file that others hold open still answers.
  const qmUniqueFile file(CreateFileW(sPath.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file && GetFileInformationByHandle(file.get(), pInfo);
}

}  // namespace

bool bIsSameFile(const std::wstring& sPathA, const std::wstring& sPathB) {
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  return bFileIdOf(sPathA, &a) && bFileIdOf(sPathB, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool bHasInvalidNameChar(std::wstring_view sText, std::wstring_view sAlsoRefused) {
  for (wchar_t c : sText) {
    if (c < 0x20 || std::wstring_view(L"\"<>|*?").find(c) != std::wstring_view::npos ||
        sAlsoRefused.find(c) != std::wstring_view::npos) {
      return true;
    }
  }
  return false;
}

bool bIsInvalidFileName(std::wstring_view sName) {
  if (bHasInvalidNameChar(sName)) return true;
  size_t start = 0;
  while (start <= sName.size()) {
    size_t end = sName.find_first_of(L"\\/", start);
    if (end == std::wstring_view::npos) end = sName.size();
    const std::wstring_view part = sName.substr(start, end - start);
    if (!part.empty() && part != L"." && part != L".." && (part.back() == L'.' || part.back() == L' ')) return true;
    start = end + 1;
  }
  return false;
}

namespace {

bool bIsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool bIsDrive(std::wstring_view sPath) {
  if (sPath.size() < 2 || sPath[1] != L':') return false;
  const wchar_t letter = sPath[0] | 0x20;
  return letter >= L'a' && letter <= L'z';
}

// "C:" of "C:\Deploy", "\\server\share" of "\\server\share\Deploy".
std::wstring_view RootOf(std::wstring_view sFolder) {
  if (bIsDrive(sFolder)) return sFolder.substr(0, 2);
  size_t separators = 0;
  for (size_t i = 0; i < sFolder.size(); ++i) {
    if (bIsSeparator(sFolder[i]) && ++separators == 4) return sFolder.substr(0, i);
  }
  return sFolder;
}

}  // namespace

std::wstring FullPathFrom(const std::wstring& sPath, const std::wstring& sBaseFolder) {
  if (sPath.empty()) return sPath;
  const bool bLeadingSeparator = bIsSeparator(sPath[0]);
  if (bLeadingSeparator && sPath.size() >= 2 && bIsSeparator(sPath[1])) return sPath;  // UNC
  if (bLeadingSeparator) return std::wstring(RootOf(sBaseFolder)) + sPath;
  if (bIsDrive(sPath)) {
    if (sPath.size() >= 3 && bIsSeparator(sPath[2])) return sPath;
    const std::wstring rest = sPath.substr(2);
    // Drive letters are ASCII: setting bit 0x20 lowers them.
    if (bIsDrive(sBaseFolder) && (sPath[0] | 0x20) == (sBaseFolder[0] | 0x20)) {
      return sBaseFolder + L"\\" + rest;
    }
    return sPath.substr(0, 2) + L"\\" + rest;
  }
  return sBaseFolder + L"\\" + sPath;
}

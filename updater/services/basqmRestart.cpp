#include "basqmRestart.h"

#include "basqmSysTools.h"
#include "clsqmSysRegistry.h"
#include "qmHandle.h"

#include <windows.h>

#include <initializer_list>

namespace {

constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";

tGetDriveTypeFn gpfnGetDriveType = nullptr;
tCopyFileFn gpfnCopyFile = nullptr;

bool bSamePath(const std::wstring& sA, const std::wstring& sB) {
  return CompareStringOrdinal(sA.c_str(), static_cast<int>(sA.size()), sB.c_str(), static_cast<int>(sB.size()),
                              TRUE) == CSTR_EQUAL;
}

// The rest of sPath behind sFolder ("" or "\..."), when sPath lies in it.
bool bIsBelow(const std::wstring& sPath, const std::wstring& sFolder, std::wstring* psRest) {
  if (sFolder.empty() || sPath.size() < sFolder.size()) return false;
  if (!bSamePath(sPath.substr(0, sFolder.size()), sFolder)) return false;
  if (sPath.size() > sFolder.size() && sPath[sFolder.size()] != L'\\') return false;
  *psRest = sPath.substr(sFolder.size());
  return true;
}

std::wstring FullPathOf(const std::wstring& sPath) {
  const DWORD n = GetFullPathNameW(sPath.c_str(), 0, nullptr, nullptr);
  if (n == 0) return sPath;
  std::wstring full(n, L'\0');
  const DWORD written = GetFullPathNameW(sPath.c_str(), n, full.data(), nullptr);
  if (written == 0 || written >= n) return sPath;
  full.resize(written);
  return full;
}

// The folder that this process's "system32" really is, when Windows
// redirects it (a 32-bit program on 64-bit Windows); else empty.
std::wstring RedirectedSystemFolder() {
#ifdef _WIN64
  return std::wstring();
#else
  BOOL bWow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &bWow64) || !bWow64) return std::wstring();
  wchar_t buffer[MAX_PATH + 1] = {};
  const UINT n = GetSystemWow64DirectoryW(buffer, MAX_PATH + 1);
  return n != 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
#endif
}

// sPath as the session manager will read it at the restart.
std::wstring RestartPathOf(const std::wstring& sPath) {
  return RealPathOf(FullPathOf(sPath), GetSystemFolder(), RedirectedSystemFolder());
}

// "\??\C:\x" or "!\??\C:\x" (replace when it exists) as "C:\x".
std::wstring PlainPath(std::wstring sPath) {
  if (!sPath.empty() && sPath[0] == L'!') sPath.erase(0, 1);
  if (sPath.rfind(L"\\??\\", 0) == 0) sPath.erase(0, 4);
  return sPath;
}

// The strings of the pending renames as Windows keeps them, source and
// target in turn; an empty target is a deletion.
struct tRawRename {
  std::wstring sSource;
  std::wstring sTarget;
};

DWORD ReadRawRenames(std::vector<tRawRename>& renames) {
  renames.clear();
  qmUniqueHKey key;
  if (LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                     key.put());
      status != ERROR_SUCCESS) {
    return static_cast<DWORD>(status);
  }
  std::vector<wchar_t> buffer;
  DWORD size = 0;
  LSTATUS status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
    buffer.resize(size / sizeof(wchar_t) + 1);
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    DWORD type = 0;
    status = RegQueryValueExW(key.get(), kPendingRenamesValue, nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
  }
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  std::vector<std::wstring> strings;
  const size_t count = size / sizeof(wchar_t);
  for (size_t at = 0; at < count;) {
    size_t end = at;
    while (end < count && buffer[end] != L'\0') ++end;
    strings.emplace_back(buffer.data() + at, end - at);
    at = end + 1;
  }
  // Pairs up to the empty string that ends the list.
  for (size_t i = 0; i < strings.size() && !strings[i].empty(); i += 2) {
    renames.push_back({strings[i], i + 1 < strings.size() ? strings[i + 1] : std::wstring()});
  }
  return ERROR_SUCCESS;
}

DWORD WriteRawRenames(const std::vector<tRawRename>& renames) {
  qmUniqueHKey key;
  if (LSTATUS status =
          RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put());
      status != ERROR_SUCCESS) {
    return static_cast<DWORD>(status);
  }
  if (renames.empty()) {
    const LSTATUS status = RegDeleteValueW(key.get(), kPendingRenamesValue);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
  }
  std::wstring data;
  for (const tRawRename& rename : renames) {
    data += rename.sSource;
    data.push_back(L'\0');
    data += rename.sTarget;
    data.push_back(L'\0');
  }
  data.push_back(L'\0');
  return static_cast<DWORD>(RegSetValueExW(key.get(), kPendingRenamesValue, 0, REG_MULTI_SZ,
                                           reinterpret_cast<const BYTE*>(data.data()),
                                           static_cast<DWORD>(data.size() * sizeof(wchar_t))));
}

// Whether the rename was left by a run of ours for sRealTarget: our waiting
// files are "trv*.tmp" beside their target. Another installer's pending
// work is not ours to change.
bool bIsOurReplacementOf(const tPendingRename& rename, const std::wstring& sRealTarget) {
  if (rename.sTarget.empty() || !bSamePath(rename.sTarget, sRealTarget)) return false;
  const size_t slash = rename.sSource.rfind(L'\\');
  const size_t targetSlash = sRealTarget.rfind(L'\\');
  if (slash == std::wstring::npos || targetSlash == std::wstring::npos) return false;
  if (!bSamePath(rename.sSource.substr(0, slash), sRealTarget.substr(0, targetSlash))) return false;
  const std::wstring name = rename.sSource.substr(slash + 1);
  return name.size() > 7 && bSamePath(name.substr(0, 3), L"trv") && bSamePath(name.substr(name.size() - 4), L".tmp");
}

}  // namespace

bool bIsFileInUseError(unsigned long dwError) {
  return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION || dwError == ERROR_USER_MAPPED_FILE;
}

bool bCanReplaceAtRestart(const std::wstring& sTarget) {
  const std::wstring full = FullPathOf(sTarget);
  wchar_t root[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(full.c_str(), root, MAX_PATH + 1)) return false;
  // A share by its UNC name is never local, whatever it answers.
  if (root[0] == L'\\' && root[1] == L'\\' && root[2] != L'?') return false;
  return (gpfnGetDriveType ? gpfnGetDriveType : GetDriveTypeW)(root) == DRIVE_FIXED;
}

void SetDriveTypeQuery(tGetDriveTypeFn pfnGetDriveType) { gpfnGetDriveType = pfnGetDriveType; }

void SetCopyFileFunction(tCopyFileFn pfnCopyFile) { gpfnCopyFile = pfnCopyFile; }

tCopyFileFn CopyFileFunction() { return gpfnCopyFile ? gpfnCopyFile : CopyFileW; }

std::wstring RealPathOf(const std::wstring& sPath, const std::wstring& sSystemFolder,
                        const std::wstring& sWow64Folder) {
  if (sWow64Folder.empty() || sSystemFolder.empty()) return sPath;
  std::wstring rest;
  const size_t slash = sSystemFolder.rfind(L'\\');
  if (slash != std::wstring::npos && bIsBelow(sPath, sSystemFolder.substr(0, slash) + L"\\Sysnative", &rest)) {
    return sSystemFolder + rest;
  }
  if (!bIsBelow(sPath, sSystemFolder, &rest)) return sPath;
  std::wstring ignored;
  for (const wchar_t* exempt : {L"\\catroot", L"\\catroot2", L"\\driverstore", L"\\drivers\\etc", L"\\logfiles",
                                L"\\spool"}) {
    if (bIsBelow(rest, exempt, &ignored)) return sPath;
  }
  return sWow64Folder + rest;
}

unsigned long CopyBeside(const std::wstring& sSource, const std::wstring& sTarget, std::wstring* psCopy) {
  psCopy->clear();
  const size_t slash = sTarget.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : sTarget.substr(0, slash);
  const DWORD folderAttributes = GetFileAttributesW(folder.c_str());
  if (folderAttributes == INVALID_FILE_ATTRIBUTES || (folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_PATH_NOT_FOUND;
  }
  // A name of its own for every copy: a second run before the restart
  // schedules its file after the first, and the later one wins.
  wchar_t temporary[MAX_PATH + 1] = {};
  if (GetTempFileNameW(folder.c_str(), L"trv", 0, temporary) == 0) return GetLastError();
  if (!CopyFileFunction()(sSource.c_str(), temporary, FALSE)) {
    const DWORD error = GetLastError();
    DeleteFileW(temporary);
    return error;
  }
  // From a read-only source the copy is read-only too, and the file that
  // takes the target's place must stay replaceable by the next update.
  const DWORD attributes = GetFileAttributesW(temporary);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      !SetFileAttributesW(temporary, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    const DWORD error = GetLastError();
    DeleteFileW(temporary);
    return error;
  }
  *psCopy = temporary;
  return ERROR_SUCCESS;
}

unsigned long ScheduleRenameAtRestart(const std::wstring& sWaiting, const std::wstring& sTarget) {
  // The session manager is a native program: it must read the names the
  // files really have, not the ones this process sees.
  if (!MoveFileExW(RestartPathOf(sWaiting).c_str(), RestartPathOf(sTarget).c_str(),
                   MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
    return GetLastError();
  }
  return ERROR_SUCCESS;
}

std::vector<tPendingRename> PendingRenamesAtRestart() {
  std::vector<tRawRename> raw;
  std::vector<tPendingRename> renames;
  if (ReadRawRenames(raw) != ERROR_SUCCESS) return renames;
  for (const tRawRename& rename : raw) renames.push_back({PlainPath(rename.sSource), PlainPath(rename.sTarget)});
  return renames;
}

std::wstring PendingReplacementOf(const std::wstring& sTarget, const std::vector<tPendingRename>& renames) {
  const std::wstring realTarget = RestartPathOf(sTarget);
  std::wstring source;
  for (const tPendingRename& rename : renames) {
    if (bIsOurReplacementOf(rename, realTarget)) source = rename.sSource;
  }
  return source;
}

bool bIsPendingFile(const std::wstring& sPath, const std::vector<tPendingRename>& renames) {
  const std::wstring realPath = RestartPathOf(sPath);
  for (const tPendingRename& rename : renames) {
    if (bSamePath(rename.sSource, realPath)) return true;
  }
  return false;
}

bool bHasOwnRestartWork() {
  for (const tPendingRename& rename : PendingRenamesAtRestart()) {
    const size_t slash = rename.sSource.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? rename.sSource : rename.sSource.substr(slash + 1);
    if (name.size() > 7 && bSamePath(name.substr(0, 3), L"trv") && bSamePath(name.substr(name.size() - 4), L".tmp")) {
      return true;
    }
  }
  qmUniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  constexpr wchar_t kPrefix[] = L"Trevalon ";
  wchar_t name[16384];
  for (DWORD i = 0;; ++i) {
    DWORD length = 16384;
    if (RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    if (length >= 9 && CompareStringOrdinal(name, 9, kPrefix, 9, TRUE) == CSTR_EQUAL) return true;
  }
}

unsigned long CancelReplacementAtRestart(const std::wstring& sTarget, bool* pbCancelled) {
  *pbCancelled = false;
  const std::wstring realTarget = RestartPathOf(sTarget);
  std::vector<tRawRename> raw;
  if (DWORD error = ReadRawRenames(raw); error != ERROR_SUCCESS) return error;
  std::vector<tRawRename> kept;
  std::vector<std::wstring> waitingFiles;
  for (const tRawRename& rename : raw) {
    const tPendingRename plain{PlainPath(rename.sSource), PlainPath(rename.sTarget)};
    if (bIsOurReplacementOf(plain, realTarget)) {
      waitingFiles.push_back(plain.sSource);
    } else {
      kept.push_back(rename);
    }
  }
  if (!waitingFiles.empty()) {
    if (DWORD error = WriteRawRenames(kept); error != ERROR_SUCCESS) return error;
    // Gone from the list, the files would only be left lying about.
    for (const std::wstring& file : waitingFiles) DeleteFileW(file.c_str());
    *pbCancelled = true;
  }

  // Asked first, so that a machine without anything to cancel needs no
  // right to write the key.
  const std::wstring name = L"Trevalon " + sTarget;
  qmUniqueHKey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
  if (status == ERROR_SUCCESS) status = RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status == ERROR_SUCCESS) {
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put());
  }
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), name.c_str());
  if (status == ERROR_SUCCESS) *pbCancelled = true;
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}

unsigned long ScheduleRunOnce(const std::wstring& sName, const std::wstring& sCommandLine) {
  const clsqmSysRegistry registry(KEY_WOW64_64KEY);
  tRegValue value = sCommandLine;
  return static_cast<unsigned long>(registry.RegValueSet(HKEY_LOCAL_MACHINE, kRunOnceKey, sName, value, false, true));
}

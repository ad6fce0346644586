// Work left for the next restart of Windows: a file that another program
// holds open is replaced then, and a program (regsvr32) runs once then.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// True for the errors with which Windows refuses to write a file that
// another program holds open: a sharing violation, a lock, or a view of the
// file in another program's memory (which outlives the handle that made it,
// so nothing else shows the file is in use). Only these are left for the
// restart; every other failure stays a failure.
[[nodiscard]] bool bIsFileInUseError(unsigned long dwError);

// Whether a file in use at sTarget may wait for the next restart: only on
// a local fixed volume. Windows carries out the renames before the network
// is up, and a file in use on a share is held by another machine, which
// this machine's restart does not free.
[[nodiscard]] bool bCanReplaceAtRestart(const std::wstring& sTarget);

// How bCanReplaceAtRestart asks for the kind of a volume (by its root, as
// GetDriveTypeW); tests play other volumes with it. nullptr: GetDriveTypeW.
using tGetDriveTypeFn = UINT(WINAPI*)(LPCWSTR);
void SetDriveTypeQuery(tGetDriveTypeFn pfnGetDriveType);

// Copies sSource beside sTarget under a new temporary name "trv*.tmp" (in
// sTarget's folder, so that the rename over sTarget at the restart stays on
// its volume), writable whatever the source's attributes. Returns
// 0 and the copy's path, or the Win32 error (ERROR_PATH_NOT_FOUND for a
// missing folder); nothing is left behind then.
[[nodiscard]] unsigned long CopyBeside(const std::wstring& sSource, const std::wstring& sTarget,
                                       std::wstring* psCopy);

// How the run copies files (as CopyFileW); tests play a copy that fails
// part-way with it. nullptr: CopyFileW.
using tCopyFileFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, BOOL);
void SetCopyFileFunction(tCopyFileFn pfnCopyFile);
[[nodiscard]] tCopyFileFn CopyFileFunction();

// Has Windows move sWaiting (a file beside sTarget) over sTarget at the
// next restart. Returns 0 or the Win32 error. Needs the right to write
// HKEY_LOCAL_MACHINE, where Windows keeps the pending renames.
[[nodiscard]] unsigned long ScheduleRenameAtRestart(const std::wstring& sWaiting, const std::wstring& sTarget);

// One rename that Windows carries out at the next restart, as plain paths
// (without the "\??\" and "!" Windows keeps with them); an empty sTarget
// deletes sSource.
struct tPendingRename {
  std::wstring sSource;
  std::wstring sTarget;
};

// The renames waiting for the next restart, in the order Windows carries
// them out; empty when there are none or they cannot be read.
[[nodiscard]] std::vector<tPendingRename> PendingRenamesAtRestart();

// The file of our own that waits to replace sTarget at the next restart
// (the last one scheduled), or the empty text.
[[nodiscard]] std::wstring PendingReplacementOf(const std::wstring& sTarget,
                                                const std::vector<tPendingRename>& renames);

// True when sPath is a file that waits to be moved (or deleted) at the next
// restart, by us or by any other installer: deleting it would undo that
// replacement.
[[nodiscard]] bool bIsPendingFile(const std::wstring& sPath, const std::vector<tPendingRename>& renames);

// True when a run of ours left anything for the next restart: a pending
// rename of a "trv*.tmp" file, or a RunOnce value "Trevalon ...".
[[nodiscard]] bool bHasOwnRestartWork();

// After sTarget was written or deleted directly: forgets every replacement
// of it that an earlier run left for the next restart (its rename, the
// waiting file, and the RunOnce registration "Trevalon " + sTarget), which
// would otherwise bring an older file back. *pbCancelled tells whether
// there was anything. Returns 0 or the Win32 error.
[[nodiscard]] unsigned long CancelReplacementAtRestart(const std::wstring& sTarget, bool* pbCancelled);

// The name Windows itself gives sPath at the restart, which the 64-bit
// session manager reads: for a 32-bit program on 64-bit Windows its
// "system32" (sSystemFolder) is really sWow64Folder, except for the few
// subfolders Windows does not redirect; "Sysnative" is the real
// system32. sWow64Folder is empty for programs that are not redirected:
// then sPath comes back unchanged.
[[nodiscard]] std::wstring RealPathOf(const std::wstring& sPath, const std::wstring& sSystemFolder,
                                      const std::wstring& sWow64Folder);

// The key below HKEY_LOCAL_MACHINE whose values Windows runs once at the
// next start (in the native registry view, which Windows reads on every
// architecture).
inline constexpr wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Adds sCommandLine as the value sName of the RunOnce key (native view).
// Returns 0 or the Win32 error.
[[nodiscard]] unsigned long ScheduleRunOnce(const std::wstring& sName, const std::wstring& sCommandLine);

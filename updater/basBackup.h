// What every run keeps of what it replaces, and the undo (Trevalon.exe
// /undo) that puts it back.
//
// Each run that changes something keeps the previous state in a folder of
// its own, "<OLRoot>\Trevalon\Backup\<computer>\<yyyymmdd-hhmmss>" (with
// "-2", "-3", ... when a run of the same second has one already), holding
// the previous files one after the other in "Dateien.dat" and the manifest
// "Sicherung.txt": UTF-8 text, one line per kept item, fields separated by
// a tab:
//
//   Datei     <target>  Dateien.dat:<offset>:<length>  <attributes, 8 hex digits>  <last write, 16 hex digits>
//   Datei     <target>  <group>\<n>-<name>  <attributes>   (a kept file of its own, as earlier builds kept them)
//   Datei     <target>  keine                 (the run added the file)
//   Datei     <target>  in Benutzung          (held open unreadable; its
//                                              replacement waits for the restart)
//   Registry  HKEY_LOCAL_MACHINE\<key>  <value name>  <type number>  <data, hex bytes>
//   Registry  HKEY_LOCAL_MACHINE\<key>  <value name>  keiner  [<first key the run created>]
//
// The newest kBackupsKept backups of each computer are kept, older ones
// removed when a run starts a new one.
#pragma once

#include "basTrevalon.h"
#include "tRunValues.h"

#include <string>

inline constexpr int kBackupsKept = 5;
inline constexpr wchar_t kBackupManifest[] = L"Sicherung.txt";
inline constexpr wchar_t kBackupData[] = L"Dateien.dat";

// The folder holding this computer's backups of the installation.
[[nodiscard]] std::wstring BackupRootOf(const tRunValues& run);

// Before the run changes the file sTarget (writes, replaces or deletes it):
// keeps it (or that there is none) in the run's backup, once per run.
// 0, or the Win32 error: then the entry must leave the file alone.
[[nodiscard]] unsigned long BackupFile(tRunValues& run, const std::wstring& sTarget);

// The same for a registry value below HKEY_LOCAL_MACHINE (the run's view).
[[nodiscard]] unsigned long BackupRegValue(tRunValues& run, const std::wstring& sKey, const std::wstring& sName);

// What an entry reports when its backup cannot be made (no line break).
[[nodiscard]] std::wstring BackupFailureText(unsigned long dwError);

// What the undo reports about Office Line's tool (with line break).
inline constexpr wchar_t kUndoToolNote[] =
    L"Hinweis: Änderungen, die das Office Line Updatetool aus einer Konfigurationsupdatedatei vorgenommen hat, "
    L"werden nicht zurückgenommen.\r\n";

// The undo: restores the newest backup of this computer's installation
// (the script beside the updater names the installation), keeping a
// backup of its own. Returns and counts as RunUpdate; with bPlanOnly it
// only writes what it would do.
bool UndoUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module,
                bool bPlanOnly);

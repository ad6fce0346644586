#include "basBackup.h"

#include "basComponentRegistration.h"
#include "basCopyEntry.h"
#include "basFailureReport.h"
#include "basRestartWork.h"
#include "basRunLog.h"
#include "basScript.h"
#include "basScriptText.h"
#include "basqmRestart.h"
#include "basqmSysTools.h"
#include "qmHandle.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

// The registry view of the run's registry class (clsqmSysRegistry's
// default): values are kept and restored where the run wrote them.
constexpr REGSAM kRunView = KEY_WOW64_32KEY;
constexpr wchar_t kHklmPrefix[] = L"HKEY_LOCAL_MACHINE\\";
constexpr wchar_t kNoFile[] = L"keine";
constexpr wchar_t kNoValue[] = L"keiner";
constexpr wchar_t kInUse[] = L"in Benutzung";

std::string Utf8Of(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  return bytes;
}

std::wstring WideOf(std::string_view bytes) {
  if (bytes.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

std::wstring Hex(const unsigned char* data, size_t n) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}

std::vector<unsigned char> BytesOfHex(const std::wstring& sHex) {
  std::vector<unsigned char> bytes;
  auto digit = [](wchar_t c) { return c <= L'9' ? c - L'0' : c - L'A' + 10; };
  for (size_t i = 0; i + 1 < sHex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(digit(sHex[i]) * 16 + digit(sHex[i + 1])));
  return bytes;
}

std::wstring Hex8(DWORD value) {
  wchar_t buffer[9] = {};
  swprintf(buffer, 9, L"%08lX", static_cast<unsigned long>(value));
  return buffer;
}

std::vector<std::wstring> SplitTabs(const std::wstring& sLine) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = sLine.find(L'\t', start);
    fields.push_back(sLine.substr(start, tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

unsigned long WriteBytes(const std::wstring& sPath, const std::string& bytes, DWORD dwDisposition) {
  qmUniqueFile file(CreateFileW(sPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, dwDisposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return GetLastError();
  return written == bytes.size() ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

// Backup folders by age: the time in the name, then the number a second
// run of the same second added ("-2" before "-10").
bool bOlderBackup(const std::wstring& a, const std::wstring& b) {
  const int stamp = a.compare(0, 15, b, 0, 15);
  if (stamp != 0) return stamp < 0;
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::vector<std::wstring> BackupsOldestFirst(const std::wstring& sRoot) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  qmUniqueFind find(FindFirstFileW((sRoot + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name.size() >= 15 && name[8] == L'-') {
      names.push_back(name);
    }
  } while (FindNextFileW(find.get(), &data));
  std::sort(names.begin(), names.end(), bOlderBackup);
  return names;
}

void RemoveBackup(const std::wstring& sFolder) {
  WIN32_FIND_DATAW data{};
  {
    qmUniqueFind find(FindFirstFileW((sFolder + L"\\*").c_str(), &data));
    if (find) {
      do {
        const std::wstring file = sFolder + L"\\" + data.cFileName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          // The groups of kept files, one level down.
          if (data.cFileName[0] != L'.') RemoveBackup(file);
          continue;
        }
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.c_str());
      } while (FindNextFileW(find.get(), &data));
    }
  }
  RemoveDirectoryW(sFolder.c_str());
}

unsigned long CreateFolder(const std::wstring& sFolder) {
  if (CreateDirectoryW(sFolder.c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

// Creates the run's backup folder at its first change, and removes the
// oldest backups beyond the number kept.
unsigned long StartBackup(tRunValues& run) {
  if (!run.sBackupFolder.empty()) return ERROR_SUCCESS;
  if (run.sOLRoot.empty()) return ERROR_PATH_NOT_FOUND;
  const std::wstring root = BackupRootOf(run);
  for (const std::wstring& folder : {run.sOLRoot + L"\\Trevalon", run.sOLRoot + L"\\Trevalon\\Backup", root}) {
    if (const unsigned long error = CreateFolder(folder); error != ERROR_SUCCESS) return error;
  }
  SYSTEMTIME now{};
  GetLocalTime(&now);
  wchar_t stamp[16] = {};
  swprintf(stamp, 16, L"%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
  // The new backup must be the newest by name even when the clock was set
  // back since the last one: the undo takes the newest, and the removal of
  // old ones must never take this run's.
  std::vector<std::wstring> backups = BackupsOldestFirst(root);
  std::wstring base = stamp;
  if (!backups.empty() && backups.back().compare(0, 15, base) > 0) base = backups.back().substr(0, 15);
  std::wstring folder;
  for (int n = 1;; ++n) {
    const std::wstring name = base + (n > 1 ? L"-" + std::to_wstring(n) : std::wstring());
    if (!backups.empty() && !bOlderBackup(backups.back(), name)) continue;
    folder = root + L"\\" + name;
    if (CreateDirectoryW(folder.c_str(), nullptr)) break;
    if (const DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS || n >= 9999) return error;
  }
  const std::wstring header = L"Trevalon Sicherung\r\nRechner: " + GetComputerNameText() +
                              L"\r\nInstallation: " + run.sOLRoot + L"\r\n";
  if (const unsigned long error =
          WriteBytes(folder + L"\\" + kBackupManifest, "\xEF\xBB\xBF" + Utf8Of(header), CREATE_NEW);
      error != ERROR_SUCCESS) {
    RemoveBackup(folder);
    return error;
  }
  // Open for the run: one line per kept item, each written before the
  // change it describes.
  run.hBackupManifest.reset(CreateFileW((folder + L"\\" + kBackupManifest).c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!run.hBackupManifest) {
    const DWORD error = GetLastError();
    RemoveBackup(folder);
    return error;
  }
  // The previous files, one after the other: one file for the run costs
  // far less than one file for each file it replaces.
  run.hBackupData.reset(CreateFileW((folder + L"\\" + kBackupData).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!run.hBackupData) {
    const DWORD error = GetLastError();
    run.hBackupManifest.reset();
    RemoveBackup(folder);
    return error;
  }
  run.nBackupBytes = 0;
  run.sBackupFolder = folder;
  backups = BackupsOldestFirst(root);
  for (size_t i = 0; i + kBackupsKept < backups.size(); ++i) RemoveBackup(root + L"\\" + backups[i]);
  return ERROR_SUCCESS;
}

// Paths and value names in any case name the same item.
std::wstring KeyOf(std::wstring sId) {
  if (!sId.empty()) CharUpperBuffW(sId.data(), static_cast<DWORD>(sId.size()));
  return sId;
}

bool bKeptAlready(const tRunValues& run, const std::wstring& sId) { return run.colBackedUp.count(KeyOf(sId)) != 0; }

unsigned long AddManifestLine(tRunValues& run, const std::wstring& sId, const std::wstring& sLine) {
  const std::string bytes = Utf8Of(sLine + L"\r\n");
  DWORD written = 0;
  if (!WriteFile(run.hBackupManifest.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return GetLastError();
  }
  if (written != bytes.size()) return ERROR_DISK_FULL;
  run.colBackedUp.insert(KeyOf(sId));
  ++run.nBackupItems;
  return ERROR_SUCCESS;
}

std::wstring FileNameOf(const std::wstring& sPath) {
  const size_t slash = sPath.find_last_of(L"\\/");
  return slash == std::wstring::npos ? sPath : sPath.substr(slash + 1);
}

std::wstring FolderOf(const std::wstring& sPath) {
  const size_t slash = sPath.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : sPath.substr(0, slash);
}

// One kept item of a manifest.
struct tKeptItem {
  bool bFile = true;
  std::wstring sTarget;    // file path, or key below HKEY_LOCAL_MACHINE
  std::wstring sName;      // value name (registry)
  std::wstring sPrevious;  // backup file, kNoFile, kInUse; type number or kNoValue
  std::wstring sData;      // attributes (file) or data (registry), hex
  std::wstring sWritten;   // the kept file's time of last write, hex
};

unsigned long ReadManifest(const std::wstring& sFolder, std::vector<tKeptItem>* pItems) {
  qmUniqueFile file(CreateFileW((sFolder + L"\\" + kBackupManifest).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return GetLastError();
  if (size.QuadPart > 64 * 1024 * 1024) return ERROR_FILE_TOO_LARGE;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) return GetLastError();
  bytes.resize(got);
  const std::wstring text = WideOf(bytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::vector<std::wstring> fields = SplitTabs(text.substr(start, end - start));
    start = end + 2;
    if (fields[0] == L"Datei" && fields.size() >= 3) {
      pItems->push_back({true, fields[1], std::wstring(), fields[2], fields.size() > 3 ? fields[3] : std::wstring(),
                         fields.size() > 4 ? fields[4] : std::wstring()});
    } else if (fields[0] == L"Registry" && fields.size() >= 4 && fields[1].rfind(kHklmPrefix, 0) == 0) {
      pItems->push_back({false, fields[1].substr(wcslen(kHklmPrefix)), fields[2], fields[3],
                         fields.size() > 4 ? fields[4] : std::wstring(), std::wstring()});
    }
  }
  return ERROR_SUCCESS;
}

bool bIsEmptyKey(const std::wstring& sKey) {
  qmUniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_QUERY_VALUE | kRunView, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD subKeys = 1, values = 1;
  return RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                          nullptr, nullptr) == ERROR_SUCCESS &&
         subKeys == 0 && values == 0;
}

void ReportOk(tRunValues& run) {
  if (!run.bEntryFailed) run.txtInfo.Append(L" - erfolgreich \r\n");
  run.bEntryFailed = false;
}

// A kept file as a file of its own, for the copy that restores it: the
// one an earlier build kept, or its bytes taken out of the backup's data
// file into *psExtracted (with its time of last write), which the caller
// removes.
unsigned long KeptFileOf(const tKeptItem& item, const std::wstring& sBackup, std::wstring* psSource,
                         std::wstring* psExtracted) {
  const std::wstring prefix = std::wstring(kBackupData) + L":";
  if (item.sPrevious.rfind(prefix, 0) != 0) {
    *psSource = sBackup + L"\\" + item.sPrevious;
    return ERROR_SUCCESS;
  }
  wchar_t* end = nullptr;
  LARGE_INTEGER offset{};
  offset.QuadPart = static_cast<LONGLONG>(wcstoull(item.sPrevious.c_str() + prefix.size(), &end, 10));
  unsigned long long left = *end == L':' ? wcstoull(end + 1, nullptr, 10) : 0;
  qmUniqueFile data(CreateFileW((sBackup + L"\\" + kBackupData).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!data || !SetFilePointerEx(data.get(), offset, nullptr, FILE_BEGIN)) return GetLastError();
  *psExtracted = sBackup + L"\\" + std::to_wstring(offset.QuadPart) + L"-" + FileNameOf(item.sTarget);
  *psSource = *psExtracted;
  qmUniqueFile file(CreateFileW(psExtracted->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  if (!file) return GetLastError();
  std::vector<char> buffer(64 * 1024);
  while (left > 0) {
    DWORD got = 0, put = 0;
    const DWORD want = static_cast<DWORD>(std::min<unsigned long long>(left, buffer.size()));
    if (!ReadFile(data.get(), buffer.data(), want, &got, nullptr)) return GetLastError();
    if (got == 0) return ERROR_HANDLE_EOF;
    if (!WriteFile(file.get(), buffer.data(), got, &put, nullptr)) return GetLastError();
    if (put != got) return ERROR_DISK_FULL;
    left -= got;
  }
  if (item.sWritten.size() == 16) {
    const FILETIME written{wcstoul(item.sWritten.substr(8).c_str(), nullptr, 16),
                           wcstoul(item.sWritten.substr(0, 8).c_str(), nullptr, 16)};
    if (!SetFileTime(file.get(), nullptr, nullptr, &written)) return GetLastError();
  }
  return ERROR_SUCCESS;
}

void UndoFile(const tKeptItem& item, const std::wstring& sBackup, tRunValues& run) {
  const std::wstring& target = item.sTarget;
  run.txtInfo.Append((item.sPrevious == kNoFile ? L"Entferne: " : L"Stelle wieder her: ") + target);
  if (const unsigned long error = BackupFile(run, target); error != ERROR_SUCCESS) {
    ReportFailure(run, BackupFailureText(error));
    return;
  }
  // What the undone run left for the restart would bring its file back.
  bool bCancelled = false;
  if (const unsigned long error = CancelReplacementAtRestart(target, &bCancelled); error != ERROR_SUCCESS) {
    ReportFailure(run, L"Die beim Neustart geplante Ersetzung kann nicht aufgehoben werden: " +
                           SystemErrorText(error));
    return;
  }
  if (bCancelled) run.txtInfo.Append(kReplacementCancelledText);

  bool bScheduled = false;
  if (item.sPrevious == kInUse) {
    // The file was never read: it is back only while its replacement still
    // waited.
    if (!bCancelled) ReportFailure(run, L"Die Datei war beim Update in Benutzung und wurde nicht gesichert");
  } else if (item.sPrevious == kNoFile) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(target.c_str())) {
        const DWORD error = GetLastError();
        if (bIsFileInUseError(error) && bCanReplaceAtRestart(target) &&
            MoveFileExW(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
          run.txtInfo.Append(L"   --> Datei in Benutzung, wird beim nächsten Neustart entfernt");
          run.bEntryNeedsRestart = true;
          run.iOwnRestartWork = 1;
        } else {
          SetFileAttributesW(target.c_str(), attributes);
          ReportSystemFailure(run, error);
        }
      }
    }
  } else if (std::wstring source, extracted;
             const unsigned long error = KeptFileOf(item, sBackup, &source, &extracted)) {
    if (!extracted.empty()) DeleteFileW(extracted.c_str());
    ReportSystemFailure(run, error);
  } else {
    struct tRemoveAfter {
      const std::wstring& sPath;
      ~tRemoveAfter() {
        if (!sPath.empty()) DeleteFileW(sPath.c_str());
      }
    } removeAfter{extracted};
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) {
      const DWORD previous = wcstoul(item.sData.c_str(), nullptr, 16);
      if (!SetFileAttributesW(target.c_str(), previous)) ReportSystemFailure(run, GetLastError());
    } else {
      const DWORD error = GetLastError();
      if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(target.c_str(), attributes);
      std::wstring waiting;
      unsigned long scheduleError = ERROR_SUCCESS;
      if (bIsFileInUseError(error) && bCanReplaceAtRestart(target)) {
        scheduleError = CopyBeside(source, target, &waiting);
        if (scheduleError == ERROR_SUCCESS) {
          scheduleError = ScheduleRenameAtRestart(waiting, target);
          if (scheduleError != ERROR_SUCCESS) DeleteFileW(waiting.c_str());
        }
        if (scheduleError == ERROR_SUCCESS) {
          run.txtInfo.Append(kReplacedAtRestartText);
          run.bEntryNeedsRestart = true;
          run.iOwnRestartWork = 1;
          bScheduled = true;
        } else {
          ReportFailure(run, SystemErrorText(error) + L" (Ersetzen beim Neustart nicht möglich: " +
                                 SystemErrorText(scheduleError) + L")");
        }
      } else {
        ReportSystemFailure(run, error);
      }
    }
  }
  ReportOk(run);
  // A component back in place is registered again, as the run registers
  // what it copies.
  const std::wstring name = FileNameOf(target);
  if (item.sPrevious != kNoFile && item.sPrevious != kInUse && FileClassOf(name) == tFileClass::kComponent) {
    run.sTarget = FolderOf(target);
    RegisterComponent(run, name);
    if (bScheduled) RegisterComponentAtRestart(run, name);
  }
}

void UndoRegValue(const tKeptItem& item, tRunValues& run) {
  run.txtInfo.Append(L"Stelle wieder her: " + std::wstring(kHklmPrefix) + item.sTarget + L"\\" + item.sName);
  if (const unsigned long error = BackupRegValue(run, item.sTarget, item.sName); error != ERROR_SUCCESS) {
    ReportFailure(run, BackupFailureText(error));
    return;
  }
  LONG error = ERROR_SUCCESS;
  if (item.sPrevious == kNoValue) {
    qmUniqueHKey key;
    error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, item.sTarget.c_str(), 0, KEY_SET_VALUE | kRunView, key.put());
    if (error == ERROR_SUCCESS) error = RegDeleteValueW(key.get(), item.sName.c_str());
    if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
    key.reset();
    // Keys the run created go again, as long as nothing else is in them.
    const std::wstring created = item.sData.rfind(kHklmPrefix, 0) == 0 ? item.sData.substr(wcslen(kHklmPrefix))
                                                                        : std::wstring();
    for (std::wstring part = item.sTarget; error == ERROR_SUCCESS && !created.empty() &&
                                           part.size() >= created.size() && bSameText(part.substr(0, created.size()), created);) {
      if (!bIsEmptyKey(part) || RegDeleteKeyExW(HKEY_LOCAL_MACHINE, part.c_str(), kRunView, 0) != ERROR_SUCCESS) break;
      const size_t slash = part.rfind(L'\\');
      if (slash == std::wstring::npos) break;
      part.resize(slash);
    }
  } else {
    const std::vector<unsigned char> data = BytesOfHex(item.sData);
    qmUniqueHKey key;
    error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, item.sTarget.c_str(), 0, nullptr, 0, KEY_SET_VALUE | kRunView,
                            nullptr, key.put(), nullptr);
    if (error == ERROR_SUCCESS) {
      error = RegSetValueExW(key.get(), item.sName.c_str(), 0, wcstoul(item.sPrevious.c_str(), nullptr, 10),
                             data.data(), static_cast<DWORD>(data.size()));
    }
  }
  if (error != ERROR_SUCCESS) ReportSystemFailure(run, static_cast<unsigned long>(error));
  ReportOk(run);
}

void PlanItem(const tKeptItem& item, const std::wstring& sBackup, tRunValues& run,
              const std::vector<tPendingRename>& renames) {
  clsqmMessageText& txt = run.txtInfo;
  if (!item.bFile) {
    txt.Append(L"Registry: " + std::wstring(kHklmPrefix) + item.sTarget + L"\\" + item.sName +
               (item.sPrevious == kNoValue ? L" wird entfernt\r\n"
                                           : L" erhält den Wert vor dem Update zurück (Typ " + item.sPrevious + L")\r\n"));
    return;
  }
  if (!PendingReplacementOf(item.sTarget, renames).empty()) {
    txt.Append(L"Datei: " + item.sTarget + L": beim Neustart geplante Ersetzung wird aufgehoben\r\n");
  }
  if (item.sPrevious == kNoFile) {
    txt.Append(L"Datei: " + item.sTarget + L" wird entfernt (vom Update hinzugefügt)\r\n");
  } else if (item.sPrevious == kInUse) {
    txt.Append(L"Datei: " + item.sTarget + L" war beim Update in Benutzung und wurde nicht gesichert\r\n");
  } else {
    txt.Append(L"Datei: " + item.sTarget + L" wird aus " + sBackup + L"\\" + item.sPrevious +
               L" wiederhergestellt\r\n");
  }
}

bool UndoSteps(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module,
               bool bPlanOnly) {
  tRunValues run(sUpdaterFolder, txtInfo, module);
  tTrevalonScript script;
  const bool bStarts = StartRun(script, run);
  txtInfo.Replace((bPlanOnly ? L"Trevalon Rückgängig - Prüfung, es wird nichts verändert\r\n"
                             : L"Trevalon Rückgängig\r\n") +
                  txtInfo.Text());
  if (!bStarts) return false;

  const std::wstring root = BackupRootOf(run);
  const std::vector<std::wstring> backups = BackupsOldestFirst(root);
  if (backups.empty()) {
    txtInfo.Append(L"Keine Sicherung in " + root + L" vorhanden - ABBRUCH\r\n");
    return false;
  }
  const std::wstring backup = root + L"\\" + backups.back();
  std::vector<tKeptItem> items;
  if (const unsigned long error = ReadManifest(backup, &items); error != ERROR_SUCCESS) {
    txtInfo.Append(L"Sicherung " + backup + L" nicht lesbar: " + SystemErrorText(error) + L" - ABBRUCH\r\n");
    return false;
  }
  txtInfo.Append(L"Sicherung: " + backup + L"\r\n");
  txtInfo.Repaint();

  const std::vector<tPendingRename> renames = bPlanOnly ? PendingRenamesAtRestart() : std::vector<tPendingRename>();
  // Backwards: a target kept twice ends in its oldest state.
  for (auto item = items.rbegin(); item != items.rend(); ++item) {
    RunGuardedStep(run, [&] {
      if (bPlanOnly) {
        PlanItem(*item, backup, run, renames);
      } else if (item->bFile) {
        UndoFile(*item, backup, run);
      } else {
        UndoRegValue(*item, run);
      }
    });
    RecordStep(run);
    txtInfo.Repaint();
  }
  txtInfo.Append(kUndoToolNote);
  if (bPlanOnly) {
    txtInfo.Append(L"Gesamt: " + std::to_wstring(items.size()) + L" Einträge - Rückgabewert " +
                   std::to_wstring(ExitCodeOf(true, module)) + L"\r\n");
  } else {
    try {
      WriteRunLog(run);
    } catch (...) {
      // The log step ignores every failure.
    }
  }
  return true;
}

}  // namespace

std::wstring BackupRootOf(const tRunValues& run) {
  return run.sOLRoot + L"\\Trevalon\\Backup\\" + GetComputerNameText();
}

std::wstring BackupFailureText(unsigned long dwError) {
  return L"Sicherung nicht möglich, nichts geändert: " + SystemErrorText(dwError);
}

unsigned long BackupFile(tRunValues& run, const std::wstring& sTarget) {
  if (run.module.gbWithoutBackup) return ERROR_SUCCESS;
  const std::wstring id = L"F" + sTarget;
  if (bKeptAlready(run, id)) return ERROR_SUCCESS;
  if (const unsigned long error = StartBackup(run); error != ERROR_SUCCESS) return error;
  std::wstring line = L"Datei\t" + sTarget + L"\t";
  // Read with the sharing a copy reads with: what a copy could not read is
  // in use, and its replacement waits for the restart.
  qmUniqueFile file(CreateFileW(sTarget.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  // Only the attributes and the time: the whole information of the file
  // (with its name) costs more than the read.
  FILE_BASIC_INFO info{};
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      line += kNoFile;
    } else if (bIsFileInUseError(error)) {
      line += kInUse;
    } else {
      return error;
    }
  } else if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info)) {
    return GetLastError();
  } else {
    const unsigned long long start = run.nBackupBytes;
    static thread_local std::vector<char> buffer(64 * 1024);
    for (;;) {
      DWORD got = 0, put = 0;
      if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return GetLastError();
      if (got == 0) break;
      const BOOL bWritten = WriteFile(run.hBackupData.get(), buffer.data(), got, &put, nullptr);
      run.nBackupBytes += put;
      if (!bWritten) return GetLastError();
      if (put != got) return ERROR_DISK_FULL;
    }
    line += std::wstring(kBackupData) + L":" + std::to_wstring(start) + L":" + std::to_wstring(run.nBackupBytes - start) +
            L"\t" + Hex8(info.FileAttributes) + L"\t" + Hex8(static_cast<DWORD>(info.LastWriteTime.QuadPart >> 32)) +
            Hex8(static_cast<DWORD>(info.LastWriteTime.QuadPart));
  }
  return AddManifestLine(run, id, line);
}

unsigned long BackupRegValue(tRunValues& run, const std::wstring& sKey, const std::wstring& sName) {
  if (run.module.gbWithoutBackup) return ERROR_SUCCESS;
  const std::wstring id = L"R" + sKey + L"\\" + sName;
  if (bKeptAlready(run, id)) return ERROR_SUCCESS;
  if (const unsigned long error = StartBackup(run); error != ERROR_SUCCESS) return error;
  std::wstring line = L"Registry\t" + std::wstring(kHklmPrefix) + sKey + L"\t" + sName + L"\t";
  qmUniqueHKey key;
  LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_QUERY_VALUE | kRunView, key.put());
  std::vector<unsigned char> data;
  DWORD type = REG_NONE;
  if (error == ERROR_SUCCESS) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      DWORD size = static_cast<DWORD>(data.size());
      error = RegQueryValueExW(key.get(), sName.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
      if (error == ERROR_SUCCESS && (!data.empty() || size == 0)) {
        data.resize(size);
        break;
      }
      if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) break;
      data.resize(size + 2);
    }
  }
  if (error == ERROR_FILE_NOT_FOUND) {
    line += kNoValue;
    // The write will create the key (and its missing parents): the first
    // of them is kept, so that the undo removes them when they are empty.
    if (!key) {
      for (size_t slash = sKey.find(L'\\'); ; slash = sKey.find(L'\\', slash + 1)) {
        const std::wstring part = sKey.substr(0, slash);
        qmUniqueHKey probe;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, part.c_str(), 0, KEY_QUERY_VALUE | kRunView, probe.put()) !=
            ERROR_SUCCESS) {
          line += L"\t" + std::wstring(kHklmPrefix) + part;
          break;
        }
        if (slash == std::wstring::npos) break;
      }
    }
  } else if (error != ERROR_SUCCESS) {
    return static_cast<unsigned long>(error);
  } else {
    line += std::to_wstring(type) + L"\t" + Hex(data.data(), data.size());
  }
  return AddManifestLine(run, id, line);
}

bool UndoUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module,
                bool bPlanOnly) {
  return bGuardedRun(txtInfo, [&] { return UndoSteps(sUpdaterFolder, txtInfo, module, bPlanOnly); });
}

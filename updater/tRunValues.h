// The values of one update run, handed from RunUpdate to the entry
// operations. Created anew by every run.
#pragma once

#include "basTrevalon.h"
#include "qmHandle.h"
#include "qmMessageText.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>

struct tRunValues {
  tRunValues(std::wstring folder, clsqmMessageText& info, tTrevalonModule& mod)
      : sUpdaterFolder(std::move(folder)), txtInfo(info), module(mod) {}

  std::wstring sUpdaterFolder;  // folder of the updater's program file, no trailing backslash
  std::wstring sVersion;        // Office Line version code from the script ("820")
  bool bLog = false;            // write the log file at the end
  std::wstring sOLRoot;         // Office Line root folder
  std::wstring sWinRoot;        // Windows folder
  std::wstring sAccessRoot;     // Access 10.0 installation folder
  std::wstring sTarget;         // target folder of the current entry

  // The configuration update being built (header placeholder "<owner>"
  // until an owner entry replaces it).
  std::wstring sConfigText = L"~Owner = \"<owner>\"";
  std::wstring sOwnerKey;
  int16_t iRevision = 0;  // the script's revision plus one; 0 = none given
  bool bConfigNeeded = false;

  bool bEntryFailed = false;     // a step of the current entry failed (reset by copy entries)
  bool bEntryHadFailure = false; // the current entry reported any failure (counted for the caller)
  bool bEntryNeedsRestart = false; // the current entry left a file to be replaced at the next restart
  // Whether a run of ours left work for the next restart (pending renames
  // of our files, RunOnce registrations): -1 not asked yet, 0 none, 1 some.
  // Without any, a direct copy or deletion has nothing to take back.
  int iOwnRestartWork = -1;

  // The run's backup: its folder (empty until the first change is kept),
  // its manifest and the file of kept contents (both open for the run),
  // the items in it, the bytes kept, and what is kept already, in capitals
  // (the first state counts).
  std::wstring sBackupFolder;
  qmUniqueFile hBackupManifest;
  qmUniqueFile hBackupData;
  int nBackupItems = 0;
  unsigned long long nBackupBytes = 0;
  std::unordered_set<std::wstring> colBackedUp;

  clsqmMessageText& txtInfo;
  tTrevalonModule& module;
};

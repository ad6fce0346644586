// The update run: reads Trevalon.ini beside the updater, finds the Office
// Line installation it names and executes its entries, reporting every step
// into the message text.
#pragma once

#include "clsqmSysRegistry.h"
#include "qmMessageText.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

// Values of the run module that outlive a run. The program owns one; tests
// make their own to start from a clean state.
struct tTrevalonModule {
  std::wstring gsOLRegKey;                         // registry path of the installation key
  std::unique_ptr<clsqmSysRegistry> gobjRegistry;  // created on first registry access
  ULONGLONG gdtCountdownStart = 0;                 // GetTickCount64() when the countdown (re)starts
  int32_t glCountdownSeconds = 0;                  // 0 = no length chosen yet
  int32_t glFailedEntries = 0;                     // entries of the last run that reported a failure
};

// The folder the updater is developed in: run from there it counts down 90
// seconds and shows the configuration update instead of starting the tool.
// Set at build time (CMake cache variable TREVALON_DEV_FOLDER).
[[nodiscard]] const std::wstring& DevelopmentFolder();

// Runs the update from sUpdaterFolder (no trailing backslash). True when
// the run reached its end; false when the script is missing or the Office
// Line folders cannot be determined. Failed entries do not make it false;
// they are counted in module.glFailedEntries (a failing configuration
// update at the end counts as one more). A script that cannot be read
// completely (missing, unreadable, a double quote never closed) is not
// executed at all.
bool RunUpdate(const std::wstring& sUpdaterFolder, clsqmMessageText& txtInfo, tTrevalonModule& module);

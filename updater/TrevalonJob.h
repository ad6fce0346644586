// One entry of the update script, and the script as the run reads it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct TrevalonJob {
  std::wstring sTyp;     // field 1: entry type ("app" for the three area types)
  std::wstring sPath;    // field 2: target folder keyword, version, area, revision, owner or subkey
  std::wstring sFile;    // field 3: file name or registry value name
  std::wstring sValue;   // field 4: registry data
  std::wstring sValue2;  // field 5: registry base key; empty = the Office Line key
  std::wstring sApp;     // application area in force when the record was read
};

// Trevalon.ini after reading: the entries in file order and the settings
// collected on the way.
struct tTrevalonScript {
  std::vector<TrevalonJob> entries;
  std::wstring sVersion;  // the last "ver" record's version code
  bool bLog = false;      // a "log" record anywhere
};

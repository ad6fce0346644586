// File tests shared by the services and the entry operations.
#pragma once

#include <string>

// True when a directory search for sPath (wildcards allowed) finds at least
// one normal file. Folders, hidden files and system files count as absent,
// so a hidden target is treated as missing.
[[nodiscard]] bool bFileExists(const std::wstring& sPath);

// File tests shared by the services and the entry operations.
#pragma once

#include <string>
#include <string_view>

// True when a directory search for sPath (wildcards allowed) finds at least
// one normal file. Folders, hidden files and system files count as absent,
// so a hidden target is treated as missing.
[[nodiscard]] bool bFileExists(const std::wstring& sPath);

// True when both paths name one existing file, however they are spelled
// (same volume and file index).
[[nodiscard]] bool bIsSameFile(const std::wstring& sPathA, const std::wstring& sPathB);

// True when sText holds a character that no file name may hold: a control
// character or one of " < > | * ?, or one of sAlsoRefused. Folder
// separators and the drive colon are allowed unless named there.
[[nodiscard]] bool bHasInvalidNameChar(std::wstring_view sText, std::wstring_view sAlsoRefused = {});

// True when sName cannot name the file it says: bHasInvalidNameChar, or a
// part of the path that ends with a dot or a blank (other than "." and
// ".."), which Windows strips, so "MyComp.dll." would name "MyComp.dll"
// while looking like no component at all.
[[nodiscard]] bool bIsInvalidFileName(std::wstring_view sName);

// sPath made absolute against sBaseFolder (a full path): "Addins" and
// "..\Common" below sBaseFolder, "\Data" on its drive (or share), "D:Data"
// in the root of drive D: (in sBaseFolder when that is on D:). Full paths
// ("C:\...", "\\server\...") and the empty text come back unchanged. The
// result never depends on the process's current folders.
[[nodiscard]] std::wstring FullPathFrom(const std::wstring& sPath, const std::wstring& sBaseFolder);

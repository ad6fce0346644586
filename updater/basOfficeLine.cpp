#include "basOfficeLine.h"

#include "basScriptText.h"
#include "basqmFiles.h"

#include <array>

namespace {

struct tVersionKey {
  const wchar_t* sCode;
  const wchar_t* sKey;
};

constexpr std::array<tVersionKey, 21> kVersionKeys{{
    {L"320", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\KHK\\Office Line\\3.2"},
    {L"330", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\KHK\\Office Line\\3.3"},
    {L"340", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\3.4"},
    {L"400", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\4.0"},
    {L"420", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\4.2"},
    {L"430", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\4.3"},
    {L"440", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\4.4"},
    {L"500", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\5.0"},
    {L"510", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\5.1"},
    {L"520", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\5.1"},  // 5.2 kept the 5.1 key
    {L"530", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\5.3"},
    {L"600", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\6.0"},
    {L"610", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\6.1"},
    {L"620", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\6.2"},
    {L"630", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\6.3"},
    {L"700", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\7.0"},
    {L"710", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\7.1"},
    {L"720", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\7.2"},
    {L"800", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\8.0"},
    {L"810", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\8.1"},
    {L"820", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Sage\\Office Line\\8.2"},
}};

constexpr wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kAccessKey[] = L"SOFTWARE\\Microsoft\\Office\\10.0\\Access\\InstallRoot";

// Drops sRoot and the one character after it when sRoot starts at the
// first or second character of sKey.
std::wstring DropRoot(std::wstring sKey, std::wstring_view sRoot) {
  for (size_t start = 0; start < 2; ++start) {
    if (sKey.size() >= start + sRoot.size() && bSameText(std::wstring_view(sKey).substr(start, sRoot.size()), sRoot)) {
      // An earlier hit at the first character wins, as a left-to-right
      // search would find it.
      size_t cut = start + sRoot.size() + 1;
      return cut < sKey.size() ? sKey.substr(cut) : std::wstring();
    }
  }
  return sKey;
}

// "system32" is the folder a 32-bit program reaches through that name. The
// release build is 32-bit and Windows redirects it to SysWOW64 on 64-bit
// machines; a 64-bit build names that folder itself, so both builds put the
// product's 32-bit components where the product loads them from.
#ifdef _WIN64
constexpr wchar_t kSystem32Suffix[] = L"\\SysWOW64";
#else
constexpr wchar_t kSystem32Suffix[] = L"\\system32";
#endif

struct tKeywordTarget {
  const wchar_t* sKeyword;
  int nBase;  // 0: Office Line root, 1: Windows folder
  const wchar_t* sSuffix;
};

constexpr std::array<tKeywordTarget, 7> kKeywordTargets{{
    {L"shared", 0, L"\\shared"},
    {L"addin", 0, L"\\addin"},
    {L"add-in", 0, L"\\addin"},
    {L"abf", 0, L"\\abf"},
    {L"rewe", 0, L"\\rewe"},
    {L"system32", 1, kSystem32Suffix},
    {L"windows", 1, L""},
}};

}  // namespace

std::wstring OLRegKeyOf(const std::wstring& sVersion) {
  for (const auto& row : kVersionKeys)
    if (bSameText(sVersion, row.sCode)) return row.sKey;
  return std::wstring();
}

void PrepareRegistry(tTrevalonModule& module) {
  if (module.gsOLRegKey.empty()) module.gsOLRegKey = kFallbackOLRegKey;
  if (!module.gobjRegistry) module.gobjRegistry = std::make_unique<clsqmSysRegistry>();
}

std::wstring StripRootName(std::wstring sBaseKey) {
  sBaseKey = DropRoot(std::move(sBaseKey), L"HKEY_CURRENT_USER");
  return DropRoot(std::move(sBaseKey), L"HKEY_LOCAL_MACHINE");
}

std::wstring GetRegValue(tTrevalonModule& module, const std::wstring& sSubKey, const std::wstring& sValueName,
                         const std::wstring& sBaseKey) {
  PrepareRegistry(module);
  std::wstring key = StripRootName(sBaseKey.empty() ? module.gsOLRegKey : sBaseKey);
  if (!sSubKey.empty()) key += L"\\" + sSubKey;
  tRegValue value;
  if (module.gobjRegistry->RegValueGet(HKEY_LOCAL_MACHINE, key, sValueName, value) != ERROR_SUCCESS) {
    return std::wstring();
  }
  if (auto* text = std::get_if<std::wstring>(&value)) return *text;
  if (auto* number = std::get_if<int32_t>(&value)) return std::to_wstring(*number);
  return std::wstring();
}

void FindOfficeLine(tRunValues& run) {
  run.module.gsOLRegKey = OLRegKeyOf(run.sVersion);
  run.sOLRoot = GetRegValue(run.module, L"", L"Root", L"");
  run.sWinRoot = GetRegValue(run.module, L"", L"Systemroot", kWindowsKey);
  run.sAccessRoot = GetRegValue(run.module, L"", L"Path", kAccessKey);
}

std::wstring TargetFolderOf(const std::wstring& sPath, const tRunValues& run) {
  if (bSameText(sPath, L"work")) {
    if (CompareText(run.sVersion, L"330") < 0) return run.sAccessRoot;
    return run.sOLRoot + L"\\addin\\work";
  }
  for (const auto& row : kKeywordTargets) {
    if (bSameText(sPath, row.sKeyword)) return (row.nBase == 0 ? run.sOLRoot : run.sWinRoot) + row.sSuffix;
  }
  // A folder that is not given in full is below the updater's folder, as
  // when Explorer starts the updater there, also for a distribution agent
  // that starts it in the system folder.
  return FullPathFrom(sPath, run.sUpdaterFolder);
}

void PrepareEntry(TrevalonJob& job, tRunValues& run) {
  for (std::wstring* field : {&job.sFile, &job.sValue, &job.sPath}) {
    *field = ReplaceAll(*field, L"<OLRoot>", run.sOLRoot);
    *field = ReplaceAll(*field, L"<OLPath>", run.sOLRoot);
  }
  run.sTarget = TargetFolderOf(job.sPath, run);
}

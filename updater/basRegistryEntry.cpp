#include "basRegistryEntry.h"

#include "basBackup.h"
#include "basFailureReport.h"
#include "basOfficeLine.h"
#include "basScriptText.h"

#include <cmath>

std::optional<int32_t> ToLong(const std::wstring& sText) {
  std::optional<double> number = ParseNumber(sText);
  if (!number) return std::nullopt;
  double rounded = std::nearbyint(*number);
  if (rounded < -2147483648.0 || rounded > 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(rounded);
}

std::wstring RegistryKeyOf(tTrevalonModule& module, const std::wstring& sSubKey, std::wstring sBaseKey) {
  PrepareRegistry(module);
  if (sBaseKey.empty()) sBaseKey = module.gsOLRegKey;
  std::wstring key = StripRootName(std::move(sBaseKey));
  if (!sSubKey.empty()) key += L"\\" + sSubKey;
  return key;
}

std::optional<tRegValue> RegistryEntryValue(const TrevalonJob& job, tRegistryKind kind, std::wstring* psFailure) {
  if (kind == tRegistryKind::kText) return tRegValue(job.sValue);
  // A typo must not overwrite a setting with 0.
  std::optional<int32_t> number = ToLong(job.sValue);
  if (!number) {
    *psFailure = L"Der Wert \"" + job.sValue + L"\" ist keine ganze Zahl im Bereich von -2147483648 bis 2147483647";
    return std::nullopt;
  }
  return tRegValue(*number);
}

bool bRegistryEntryApplies(const tRunValues& run) { return CompareText(run.sVersion, L"5") < 0; }

bool SetRegValue(tTrevalonModule& module, const std::wstring& sSubKey, const std::wstring& sValueName,
                 tRegValue Value, std::wstring sBaseKey) {
  const std::wstring key = RegistryKeyOf(module, sSubKey, std::move(sBaseKey));
  return module.gobjRegistry->RegValueSet(HKEY_LOCAL_MACHINE, key, sValueName, Value, false, true) == ERROR_SUCCESS;
}

void RegistryEntry(const TrevalonJob& job, tRunValues& run, tRegistryKind kind) {
  // Office Line 5 and later take their settings from the configuration
  // update instead.
  if (!bRegistryEntryApplies(run)) return;
  run.txtInfo.Append(L"Registriere: " + job.sFile);

  std::wstring failure;
  std::optional<tRegValue> value = RegistryEntryValue(job, kind, &failure);
  if (!value) {
    ReportFailure(run, failure);
    return;
  }

  if (const unsigned long error =
          BackupRegValue(run, RegistryKeyOf(run.module, job.sPath, job.sValue2), job.sFile);
      error != ERROR_SUCCESS) {
    ReportFailure(run, BackupFailureText(error));
    return;
  }
  if (SetRegValue(run.module, job.sPath, job.sFile, std::move(*value), job.sValue2)) {
    run.txtInfo.Append(L" - erfolgreich \r\n");
  } else {
    run.bEntryHadFailure = true;
    run.txtInfo.Append(L" - fehlgeschlagen \r\n");
  }
}

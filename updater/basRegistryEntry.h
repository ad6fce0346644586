// "regt" and "regl" entries: a text or number value written below
// HKEY_LOCAL_MACHINE, by default into the installation's key.
#pragma once

#include "TrevalonJob.h"
#include "clsqmSysRegistry.h"
#include "tRunValues.h"

#include <cstdint>
#include <optional>
#include <string>

enum class tRegistryKind { kText, kNumber };

void RegistryEntry(const TrevalonJob& job, tRunValues& run, tRegistryKind kind);

// For the entry and the check: whether registry entries act for the
// script's version (below 5), the value an entry writes (nothing, and
// *psFailure says why, for a "regl" that is no 32-bit whole number), and
// the key below HKEY_LOCAL_MACHINE it goes to.
[[nodiscard]] bool bRegistryEntryApplies(const tRunValues& run);
[[nodiscard]] std::optional<tRegValue> RegistryEntryValue(const TrevalonJob& job, tRegistryKind kind,
                                                          std::wstring* psFailure);
[[nodiscard]] std::wstring RegistryKeyOf(tTrevalonModule& module, const std::wstring& sSubKey, std::wstring sBaseKey);

// Writes Value (REG_SZ for text, REG_DWORD for a number) into
// HKEY_LOCAL_MACHINE\sBaseKey[\sSubKey], creating the key when missing. An
// empty sBaseKey means the installation key; a root name at its start is
// dropped. True when the value was written.
[[nodiscard]] bool SetRegValue(tTrevalonModule& module, const std::wstring& sSubKey, const std::wstring& sValueName,
                               tRegValue Value, std::wstring sBaseKey);

// The whole number a "regl" value stands for, halves rounded to the even
// neighbour; nothing when the text is no number or the result does not fit
// 32 bits.
[[nodiscard]] std::optional<int32_t> ToLong(const std::wstring& sText);

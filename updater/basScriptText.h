// Text functions of the run: keyword comparison without regard to case (the
// one place where script keywords, version codes and folder keywords are
// compared), field splitting, placeholder replacement and number parsing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Equality without regard to case ("COPY" equals "copy").
[[nodiscard]] bool bSameText(std::wstring_view a, std::wstring_view b);

// Ordering without regard to case, as the run compares version codes
// ("" < "320" < "5" < "510"): negative, 0 or positive.
[[nodiscard]] int CompareText(std::wstring_view a, std::wstring_view b);

// The text in lower case, character by character (same length).
[[nodiscard]] std::wstring LowerText(std::wstring_view text);

// The text without blanks (spaces) at both ends; tabs are kept.
[[nodiscard]] std::wstring TrimBlanks(std::wstring_view text);

// Field nIndex (counted from 1) of text, split at sSeparator (";" when
// empty), without blanks at both ends. Missing fields are empty.
[[nodiscard]] std::wstring GetField(std::wstring_view text, int nIndex, std::wstring_view sSeparator);

// Every occurrence of sSearch (matched without regard to case) replaced by
// sReplacement; inserted text is never searched again.
[[nodiscard]] std::wstring ReplaceAll(std::wstring_view text, std::wstring_view sSearch,
                                      std::wstring_view sReplacement);

// A number in the system's format: optional blanks, an optional sign,
// digits with at most one decimal separator of the user's locale, optional
// blanks. Nothing else (no thousands separators, exponents or currency).
[[nodiscard]] std::optional<double> ParseNumber(std::wstring_view text);

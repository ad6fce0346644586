#include "basScriptText.h"

#include <windows.h>

#include <charconv>
#include <climits>
#include <string>

bool bSameText(std::wstring_view a, std::wstring_view b) { return CompareText(a, b) == 0; }

int CompareText(std::wstring_view a, std::wstring_view b) {
  // The texts may be longer than an int can count; compare the common part
  // in chunks, then by length.
  constexpr size_t kChunk = INT_MAX / 2;
  size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t at = 0; at < common; at += kChunk) {
    int len = static_cast<int>(common - at < kChunk ? common - at : kChunk);
    int r = CompareStringOrdinal(a.data() + at, len, b.data() + at, len, TRUE);
    if (r != CSTR_EQUAL) return r - CSTR_EQUAL;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::wstring LowerText(std::wstring_view text) {
  std::wstring lower(text);
  for (size_t at = 0; at < lower.size(); at += INT_MAX / 2) {
    size_t len = lower.size() - at < INT_MAX / 2 ? lower.size() - at : INT_MAX / 2;
    CharLowerBuffW(lower.data() + at, static_cast<DWORD>(len));
  }
  return lower;
}

std::wstring TrimBlanks(std::wstring_view text) {
  size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring_view::npos) return std::wstring();
  size_t last = text.find_last_not_of(L' ');
  return std::wstring(text.substr(first, last - first + 1));
}

std::wstring GetField(std::wstring_view text, int nIndex, std::wstring_view sSeparator) {
  if (sSeparator.empty()) sSeparator = L";";
  if (nIndex < 1) return std::wstring();
  size_t start = 0;
  for (int i = 1; i < nIndex; ++i) {
    size_t sep = text.find(sSeparator, start);
    if (sep == std::wstring_view::npos) return std::wstring();
    start = sep + sSeparator.size();
  }
  size_t end = text.find(sSeparator, start);
  if (end == std::wstring_view::npos) end = text.size();
  return TrimBlanks(text.substr(start, end - start));
}

std::wstring ReplaceAll(std::wstring_view text, std::wstring_view sSearch, std::wstring_view sReplacement) {
  if (sSearch.empty()) return std::wstring(text);
  // Lower-casing keeps every character in its place, so positions found in
  // the lower-case copy are positions in the text.
  const std::wstring lowerText = LowerText(text);
  const std::wstring lowerSearch = LowerText(sSearch);
  std::wstring result;
  result.reserve(text.size());
  size_t from = 0;
  for (size_t hit = lowerText.find(lowerSearch); hit != std::wstring::npos;
       hit = lowerText.find(lowerSearch, from)) {
    result.append(text.substr(from, hit - from));
    result.append(sReplacement);
    from = hit + sSearch.size();
  }
  result.append(text.substr(from));
  return result;
}

std::optional<double> ParseNumber(std::wstring_view text) {
  wchar_t decimal[8] = L".";
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, decimal, 8) == 0) {
    decimal[0] = L'.';
    decimal[1] = L'\0';
  }
  const std::wstring_view sDecimal(decimal);

  // Rewritten into the neutral form ("-12.5") that from_chars reads exactly.
  const std::wstring number = TrimBlanks(text);
  std::string neutral;
  size_t at = 0;
  if (at < number.size() && (number[at] == L'+' || number[at] == L'-')) {
    if (number[at] == L'-') neutral.push_back('-');
    ++at;
  }
  bool bDigits = false;
  bool bDecimal = false;
  while (at < number.size()) {
    wchar_t c = number[at];
    if (c >= L'0' && c <= L'9') {
      bDigits = true;
      neutral.push_back(static_cast<char>(c));
      ++at;
    } else if (!bDecimal && !sDecimal.empty() && number.compare(at, sDecimal.size(), sDecimal) == 0) {
      bDecimal = true;
      neutral.push_back('.');
      at += sDecimal.size();
    } else {
      return std::nullopt;
    }
  }
  if (!bDigits) return std::nullopt;
  if (neutral.back() == '.') neutral.pop_back();  // "12." is 12
  double value = 0;
  auto [ptr, ec] = std::from_chars(neutral.data(), neutral.data() + neutral.size(), value);
  if (ec != std::errc() || ptr != neutral.data() + neutral.size()) return std::nullopt;
  return value;
}

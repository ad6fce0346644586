#include "basScript.h"

#include "basScriptText.h"
#include "qmHandle.h"
#include "qmScriptRecords.h"

#include <climits>
#include <optional>
#include <string_view>

namespace {

constexpr wchar_t kAppTypes[][12] = {L"app", L"applikation", L"bereich"};

// A record in the code page its bytes are in: the ANSI code page, or UTF-8
// for scripts that came with a byte-order mark.
std::wstring DecodeRecord(const std::string& bytes, UINT nCodePage) {
  if (bytes.empty()) return std::wstring();
  // Records are at most as long as the file, which ReadScript keeps below
  // INT_MAX bytes.
  int n = MultiByteToWideChar(nCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(nCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

tScriptEncoding EncodingOf(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return tScriptEncoding::kUtf8;
  if (bytes.substr(0, 2) == "\xFF\xFE") return tScriptEncoding::kUtf16LE;
  if (bytes.substr(0, 2) == "\xFE\xFF") return tScriptEncoding::kUtf16BE;
  return tScriptEncoding::kAnsi;
}

// The text of a script with a byte-order mark, without the mark, as UTF-8:
// the record layer splits it at the same ASCII delimiters as ANSI text, and
// UTF-8 never uses those bytes inside a character. Nothing when the bytes are
// not valid in their encoding (a UTF-16 text of odd length, a lone surrogate,
// a broken UTF-8 sequence): such a script is refused, not guessed at.
std::optional<std::string> UnicodeAsUtf8(std::string_view bytes, tScriptEncoding encoding) {
  if (encoding == tScriptEncoding::kUtf8) {
    std::string_view text = bytes.substr(3);
    if (!text.empty() && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0) == 0) {
      return std::nullopt;
    }
    return std::string(text);
  }
  std::string_view units = bytes.substr(2);
  // Each UTF-16 unit becomes at most three bytes of UTF-8.
  if (units.size() % 2 != 0 || units.size() / 2 > INT_MAX / 3) return std::nullopt;
  std::wstring wide(units.size() / 2, L'\0');
  const bool bBigEndian = encoding == tScriptEncoding::kUtf16BE;
  for (size_t i = 0; i < wide.size(); ++i) {
    const auto first = static_cast<unsigned char>(units[2 * i]);
    const auto second = static_cast<unsigned char>(units[2 * i + 1]);
    wide[i] = static_cast<wchar_t>(bBigEndian ? (first << 8) | second : (second << 8) | first);
  }
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n == 0) return std::nullopt;
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

bool bIsAppType(const std::wstring& sTyp) {
  for (const auto& type : kAppTypes)
    if (bSameText(sTyp, type)) return true;
  return false;
}

}  // namespace

tScriptResult ParseScript(std::string_view bytes, tTrevalonScript& script) {
  script = tTrevalonScript{};
  const tScriptEncoding encoding = EncodingOf(bytes);
  std::optional<std::string> utf8;
  if (encoding != tScriptEncoding::kAnsi) {
    utf8 = UnicodeAsUtf8(bytes, encoding);
    if (!utf8) return {tScriptStatus::kBadEncoding, 0, 0, encoding};
  }
  const std::string_view text = utf8 ? std::string_view(*utf8) : bytes;
  const UINT nCodePage = utf8 ? CP_UTF8 : CP_ACP;
  // No text of any code page holds a NUL. Without a byte-order mark it is
  // the mark of a file saved as Unicode (every other byte NUL): dropping the
  // NULs would keep the ASCII and lose the first record to the mark, so a
  // "ver" record could silently fall back to another installation.
  if (text.find('\0') != std::string_view::npos) return {tScriptStatus::kNulBytes, 0, 0, encoding};

  tScriptRecords records = ReadScriptRecords(text);
  if (records.nOpenQuoteLine != 0) {
    return {tScriptStatus::kOpenQuote, 0, records.nOpenQuoteLine, encoding};
  }

  std::wstring sApp = L"abf";
  script.entries.reserve(records.records.size());
  for (const std::string& raw : records.records) {
    const std::wstring record = DecodeRecord(raw, nCodePage);
    const wchar_t* separator = record.find(L'\t') != std::wstring::npos ? L"\t" : L";";
    TrevalonJob job;
    job.sTyp = GetField(record, 1, separator);
    job.sPath = GetField(record, 2, separator);
    job.sFile = GetField(record, 3, separator);
    job.sValue = GetField(record, 4, separator);
    job.sValue2 = GetField(record, 5, separator);
    if (bIsAppType(job.sTyp)) {
      sApp = LowerText(job.sPath);
      job.sTyp = L"app";
    }
    job.sApp = sApp;
    if (bSameText(job.sTyp, L"ver")) script.sVersion = job.sPath;
    if (bSameText(job.sTyp, L"log")) script.bLog = true;
    script.entries.push_back(std::move(job));
  }
  return {tScriptStatus::kRead, 0, 0, encoding};
}

tScriptResult ReadScript(const std::wstring& sUpdaterFolder, tTrevalonScript& script) {
  script = tTrevalonScript{};
  const std::wstring path = sUpdaterFolder + L"\\Trevalon.ini";
  qmUniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {tScriptStatus::kMissing, GetLastError(), 0};

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return {tScriptStatus::kUnreadable, GetLastError(), 0};
  if (size.QuadPart >= INT_MAX) return {tScriptStatus::kUnreadable, ERROR_FILE_TOO_LARGE, 0};

  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    DWORD chunk = 0;
    if (!ReadFile(file.get(), bytes.data() + got, static_cast<DWORD>(bytes.size() - got), &chunk, nullptr)) {
      return {tScriptStatus::kUnreadable, GetLastError(), 0};
    }
    if (chunk == 0) break;  // the file shrank while we read it
    got += chunk;
  }
  bytes.resize(got);
  file.reset();

  tScriptResult result = ParseScript(bytes, script);
  if (result.status != tScriptStatus::kRead) script = tTrevalonScript{};
  return result;
}

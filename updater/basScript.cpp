#include "basScript.h"

#include "basScriptText.h"
#include "qmHandle.h"
#include "qmScriptRecords.h"

#include <climits>

namespace {

constexpr wchar_t kAppTypes[][12] = {L"app", L"applikation", L"bereich"};

std::wstring DecodeAnsi(const std::string& bytes) {
  if (bytes.empty()) return std::wstring();
  // Records are at most as long as the file, which ReadScript keeps below
  // INT_MAX bytes.
  int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

bool bIsAppType(const std::wstring& sTyp) {
  for (const auto& type : kAppTypes)
    if (bSameText(sTyp, type)) return true;
  return false;
}

}  // namespace

tScriptResult ParseScript(std::string_view bytes, tTrevalonScript& script) {
  script = tTrevalonScript{};
  tScriptRecords records = ReadScriptRecords(bytes);
  if (records.nOpenQuoteLine != 0) {
    return {tScriptStatus::kOpenQuote, 0, records.nOpenQuoteLine};
  }

  std::wstring sApp = L"abf";
  script.entries.reserve(records.records.size());
  for (const std::string& raw : records.records) {
    const std::wstring record = DecodeAnsi(raw);
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
  return {tScriptStatus::kRead, 0, 0};
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

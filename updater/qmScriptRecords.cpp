#include "qmScriptRecords.h"

namespace {

bool IsRecordEnd(char c) { return c == ',' || c == '\r' || c == '\n'; }

// Keeps the record unless it is empty or blank; drops NUL bytes on the way.
void AddRecord(std::vector<std::string>& records, std::string_view raw) {
  std::string record;
  record.reserve(raw.size());
  bool bBlank = true;
  for (char c : raw) {
    if (c == '\0') continue;
    if (c != ' ') bBlank = false;
    record.push_back(c);
  }
  if (!bBlank) records.push_back(std::move(record));
}

size_t CountLineEnds(std::string_view text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++n;
    } else if (text[i] == '\r') {
      ++n;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
  }
  return n;
}

}  // namespace

tScriptRecords ReadScriptRecords(std::string_view bytes) {
  tScriptRecords result;
  size_t nLine = 1;
  size_t pos = 0;
  const size_t n = bytes.size();

  while (pos < n) {
    size_t first = pos;
    while (first < n && bytes[first] == ' ') ++first;

    if (first < n && bytes[first] == '"') {
      size_t close = bytes.find('"', first + 1);
      if (close == std::string_view::npos) {
        result.nOpenQuoteLine = nLine;
        return result;
      }
      std::string_view quoted = bytes.substr(first + 1, close - first - 1);
      AddRecord(result.records, quoted);
      nLine += CountLineEnds(quoted);
      pos = close + 1;
      while (pos < n && !IsRecordEnd(bytes[pos])) ++pos;
    } else {
      while (pos < n && !IsRecordEnd(bytes[pos])) ++pos;
      AddRecord(result.records, bytes.substr(first, pos - first));
    }

    if (pos < n) {
      if (bytes[pos] == ',') {
        ++pos;
      } else {
        if (bytes[pos] == '\r' && pos + 1 < n && bytes[pos + 1] == '\n') ++pos;
        ++pos;
        ++nLine;
      }
    }
  }
  return result;
}

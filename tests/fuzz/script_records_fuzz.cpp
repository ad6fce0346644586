// libFuzzer target for the record layer of Trevalon.ini, built natively
// with clang (scripts/test.d/fuzz-script-reader.sh). Besides crashes, leaks
// and hangs it checks what the reader promises about its records.
#include "qmScriptRecords.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tScriptRecords result = ReadScriptRecords(bytes);

  size_t total = 0;
  for (const std::string& record : result.records) {
    // Records are never empty or blank, never hold NUL, and are cut out of
    // the input, so together they cannot be longer than it.
    if (record.find_first_not_of(' ') == record.npos || record.find('\0') != record.npos) std::abort();
    total += record.size();
  }
  if (total > size) std::abort();
  // A quote left open needs a quote in the input, on an existing line.
  if (result.nOpenQuoteLine != 0 && bytes.find('"') == std::string_view::npos) std::abort();
  return 0;
}

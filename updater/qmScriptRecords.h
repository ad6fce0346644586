// The record layer of Trevalon.ini: splits the file's bytes into records by
// comma-delimited text rules. It works on the raw bytes, before any code
// page is applied, and needs nothing of Windows, so it can be exercised on
// any platform with arbitrary input.
//
// Rules:
// - a record ends at a comma or at a line end (CR LF, a lone LF or a lone
//   CR);
// - a record whose first non-blank byte is a double quote runs to the next
//   double quote; the quotes are not part of it, commas and line ends between
//   them are; anything between the closing quote and the next comma or line
//   end is dropped;
// - NUL bytes are dropped (no Windows text can carry them);
// - records that are empty or hold only blanks are skipped.
//
// The delimiters (comma, double quote, CR, LF) are all below 0x40, so they
// never occur as the trail byte of a double-byte character in the ANSI code
// pages Windows uses: splitting bytes first and decoding afterwards is safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct tScriptRecords {
  std::vector<std::string> records;  // non-empty records in file order, still in the file's code page
  size_t nOpenQuoteLine = 0;         // 1-based line of a double quote that is never closed; 0 = none
};

// Reads every record of bytes. When a double quote is never closed, reading
// stops there: records holds what came before, nOpenQuoteLine says where
// the quote stands.
[[nodiscard]] tScriptRecords ReadScriptRecords(std::string_view bytes);

// Reading Trevalon.ini: records, fields, settings, and input that is broken.
#include "basScript.h"
#include "basScriptText.h"
#include "basTrevalon.h"
#include "qmScriptRecords.h"
#include "qmTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

tTrevalonScript Parse(const std::string& bytes) {
  tTrevalonScript script;
  EXPECT_EQ(ParseScript(bytes, script).status, tScriptStatus::kRead);
  return script;
}

std::vector<std::string> Records(const std::string& bytes) { return ReadScriptRecords(bytes).records; }

}  // namespace

// Commas split records and quotes keep them (text after a closing quote
// up to the record's end is dropped, a quoted record may span lines);
// empty and blank records and NUL bytes are skipped.
TEST(ScriptRecords, CommasSplitRecordsQuotesKeepThemAndEmptyOnesAreSkipped) {
  const struct {
    std::string sBytes;
    std::vector<std::string> records;
  } kCases[] = {
      {"copy;shared;a.dll,b.dll\r\n", {"copy;shared;a.dll", "b.dll"}},
      {"\"copy;shared;a,b.dll\"\r\nlog\r\n", {"copy;shared;a,b.dll", "log"}},
      {"  \"a,b\"xyz,c\r\n\"x\r\ny\"\r\n", {"a,b", "c", "x\r\ny"}},
      {"\r\n\r\n,,  ,\r\nlog\n\nver;820\rcopy", {"log", "ver;820", "copy"}},
      {std::string("co\0py;shared\0", 13), {"copy;shared"}},
      {"", {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sBytes);
    EXPECT_EQ(Records(c.sBytes), c.records);
  }
}

TEST(ScriptRecords, AQuoteThatNeverClosesStopsReadingAtItsLine) {
  tScriptRecords records = ReadScriptRecords("ver;820\r\n\"x\r\ny\"\r\ncopy;shared;a.dll\r\n\"copy;shared;b.dll\r\nlog\r\n");
  EXPECT_EQ(records.nOpenQuoteLine, 5u);
  EXPECT_EQ(records.records, (std::vector<std::string>{"ver;820", "x\r\ny", "copy;shared;a.dll"}));
}

TEST(ScriptFields, TypesAndArgumentsAreTrimmedAndKeepTheirCase) {
  tTrevalonScript script = Parse("COPY ; Shared ; a.dll\r\nregt;Software\\X;Name\r\na;b;c;d;e;f;g\r\n");
  ASSERT_EQ(script.entries.size(), 3u);
  EXPECT_EQ(script.entries[0].sTyp, L"COPY");
  EXPECT_EQ(script.entries[0].sPath, L"Shared");
  EXPECT_EQ(script.entries[0].sFile, L"a.dll");
  EXPECT_EQ(script.entries[1].sValue, L"");
  EXPECT_EQ(script.entries[1].sValue2, L"");
  EXPECT_EQ(script.entries[2].sValue2, L"e");
}

TEST(ScriptFields, ATabInTheRecordMakesTabTheOnlySeparator) {
  tTrevalonScript script = Parse("copy\tshared\tmy;file.dll\r\ncopy;shared;a.dll\tx\r\n");
  ASSERT_EQ(script.entries.size(), 2u);
  EXPECT_EQ(script.entries[0].sFile, L"my;file.dll");
  EXPECT_EQ(script.entries[1].sTyp, L"copy;shared;a.dll");
  EXPECT_EQ(script.entries[1].sPath, L"x");
}

TEST(ScriptFields, RecordsAreDecodedFromTheAnsiCodePage) {
  tTrevalonScript script = Parse(qmtest::ToAnsi(L"copy;shared;Grüße.txt\r\n"));
  ASSERT_EQ(script.entries.size(), 1u);
  EXPECT_EQ(script.entries[0].sFile, L"Grüße.txt");
}

TEST(ScriptEncodings, ScriptsWithAByteOrderMarkAreReadInTheirEncoding) {
  const std::wstring text =
      L"ver;820\r\ncopy;shared;Müller.dll\r\n\"copy\tshared\t\u0141\u00f3d\u017a;\u0395\u03bb\u03bb\u03ac\u03c2,1.txt\"\r\n";
  for (qmtest::tSavedAs as : {qmtest::tSavedAs::kUtf8Bom, qmtest::tSavedAs::kUtf16LE, qmtest::tSavedAs::kUtf16BE}) {
    SCOPED_TRACE(static_cast<int>(as));
    tTrevalonScript script = Parse(qmtest::SavedAs(text, as));
    ASSERT_EQ(script.entries.size(), 3u);
    // The mark is not part of the first record.
    EXPECT_EQ(script.entries[0].sTyp, L"ver");
    EXPECT_EQ(script.sVersion, L"820");
    EXPECT_EQ(script.entries[1].sFile, L"Müller.dll");
    EXPECT_EQ(script.entries[2].sFile, L"\u0141\u00f3d\u017a;\u0395\u03bb\u03bb\u03ac\u03c2,1.txt");
  }
}

TEST(ScriptEncodings, NulBytesWithoutMarkAndBrokenUnicodeAreRefused) {
  auto status = [](const std::string& bytes) {
    tTrevalonScript script;
    tScriptStatus result = ParseScript(bytes, script).status;
    EXPECT_TRUE(script.entries.empty());
    return result;
  };
  // "Unicode" without its mark, and an ANSI script that PowerShell's ">>"
  // appended Unicode to.
  EXPECT_EQ(status(qmtest::SavedAs(L"ver;820\r\n", qmtest::tSavedAs::kUtf16LE).substr(2)), tScriptStatus::kNulBytes);
  EXPECT_EQ(status("ver;820\r\n" + qmtest::SavedAs(L"copy;shared;a.dll\r\n", qmtest::tSavedAs::kUtf16LE)),
            tScriptStatus::kNulBytes);
  EXPECT_EQ(status(std::string("\xFF\xFEv\0e\0r\0\0\0", 10)), tScriptStatus::kNulBytes);
  EXPECT_EQ(status("\xFF\xFEv\0e"), tScriptStatus::kBadEncoding);              // odd length
  EXPECT_EQ(status(std::string("\xFF\xFE\x00\xD8v\0", 6)), tScriptStatus::kBadEncoding);  // lone surrogate
  EXPECT_EQ(status("\xEF\xBB\xBFver;820\r\ncopy;shared;M\xFCller.dll\r\n"), tScriptStatus::kBadEncoding);
  EXPECT_EQ(status("\xFE\xFF"), tScriptStatus::kRead);
}

TEST(ScriptSettings, AreaVersionAndLogAreCollectedWhileReading) {
  tTrevalonScript script =
      Parse("copy;shared;a.dll\r\nver;510\r\nBereich;REWE\r\ncopy;work;b.mda\r\nVER ; 820 \r\napp\r\ncopy;x;c\r\nLOG\r\n");
  ASSERT_EQ(script.entries.size(), 8u);
  EXPECT_EQ(script.entries[0].sApp, L"abf");
  EXPECT_EQ(script.entries[2].sTyp, L"app");
  EXPECT_EQ(script.entries[3].sApp, L"rewe");
  EXPECT_EQ(script.entries[6].sApp, L"");
  EXPECT_EQ(script.sVersion, L"820");
  EXPECT_TRUE(script.bLog);
  EXPECT_FALSE(Parse("copy;shared;a.dll\r\n").bLog);
  EXPECT_EQ(Parse("").sVersion, L"");
}

TEST(ScriptText, GetFieldAndReplaceAllWorkAsScriptsNeed) {
  EXPECT_EQ(GetField(L"a;b", 3, L";"), L"");
  EXPECT_EQ(GetField(L"a ; b", 2, L""), L"b");
  EXPECT_EQ(GetField(L"a;b", 0, L";"), L"");
  EXPECT_EQ(ReplaceAll(L"x<olroot>y<OLRoot>", L"<OLRoot>", L"C:\\OL"), L"xC:\\OLyC:\\OL");
  EXPECT_EQ(ReplaceAll(L"aaa", L"a", L"aa"), L"aaaaaa");
  EXPECT_EQ(ReplaceAll(L"abc", L"", L"x"), L"abc");
}

TEST(ScriptBrokenInput, GarbageHugeLinesAndLongScriptsAreReadWithoutHarm) {
  std::mt19937 random(20261206);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  tTrevalonScript script;
  tScriptResult result = ParseScript(garbage, script);
  EXPECT_EQ(result.status, tScriptStatus::kNulBytes);
  for (char& c : garbage) c = c == '\0' ? 'x' : c;
  result = ParseScript(garbage, script);
  EXPECT_TRUE(result.status == tScriptStatus::kRead || result.status == tScriptStatus::kOpenQuote);

  std::string longLine = "copy;shared;" + std::string(1 << 20, 'x') + "\r\nlog\r\n";
  script = Parse(longLine);
  ASSERT_EQ(script.entries.size(), 2u);
  EXPECT_EQ(script.entries[0].sFile.size(), size_t{1} << 20);

  std::string many;
  while (many.size() < 10u * 1024 * 1024) many += "copy;shared;file.txt\r\n";
  EXPECT_EQ(Parse(many).entries.size(), many.size() / 22);
}

TEST(ScriptBrokenInput, MissingOrUnclosedScriptStopsTheRunBeforeAnythingIsTouched) {
  qmtest::ScratchFolder folder(L"script");
  clsqmMessageText text;
  tTrevalonModule module;
  EXPECT_FALSE(RunUpdate(folder.path(), text, module));
  EXPECT_EQ(text.Text(), L"Datei " + folder.path() + L"\\Trevalon.ini nicht vorhanden");

  qmtest::WriteBytes(folder / L"Trevalon.ini", "ver;820\r\nlog\r\n\"copy;shared;a.dll\r\ndel;shared;b.dll\r\n");
  EXPECT_FALSE(RunUpdate(folder.path(), text, module));
  EXPECT_EQ(text.Text(), L"Datei " + folder.path() +
                             L"\\Trevalon.ini fehlerhaft: das Anführungszeichen in Zeile 3 wird nicht geschlossen - ABBRUCH");
  EXPECT_TRUE(module.gsOLRegKey.empty());
  EXPECT_EQ(module.glCountdownSeconds, 0);

  qmtest::WriteBytes(folder / L"Trevalon.ini", qmtest::SavedAs(L"ver;820\r\n", qmtest::tSavedAs::kUtf16LE).substr(2));
  EXPECT_FALSE(RunUpdate(folder.path(), text, module));
  EXPECT_EQ(text.Text(), L"Datei " + folder.path() +
                             L"\\Trevalon.ini fehlerhaft: die Datei enthält Nullbytes (Unicode ohne Byte-Order-Mark?) - ABBRUCH");
  qmtest::WriteBytes(folder / L"Trevalon.ini", qmtest::SavedAs(std::wstring(L"ver;820\r\nx\0y\r\n", 15),
                                                                qmtest::tSavedAs::kUtf16LE));
  EXPECT_FALSE(RunUpdate(folder.path(), text, module));
  EXPECT_EQ(text.Text(), L"Datei " + folder.path() +
                             L"\\Trevalon.ini fehlerhaft: der Text enthält ein Nullzeichen (U+0000) - ABBRUCH");
  qmtest::WriteBytes(folder / L"Trevalon.ini", "\xEF\xBB\xBFver;820\r\nown;M\xFCller\r\n");
  EXPECT_FALSE(RunUpdate(folder.path(), text, module));
  EXPECT_EQ(text.Text(), L"Datei " + folder.path() + L"\\Trevalon.ini fehlerhaft: kein gültiger UTF-8-Text - ABBRUCH");
  EXPECT_TRUE(module.gsOLRegKey.empty());
}

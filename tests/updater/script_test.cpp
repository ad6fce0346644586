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

// Each entry as "type|path|file|value|value2|area".
std::vector<std::wstring> Entries(const std::string& bytes) {
  std::vector<std::wstring> entries;
  for (const TrevalonJob& e : Parse(bytes).entries) {
    entries.push_back(e.sTyp + L"|" + e.sPath + L"|" + e.sFile + L"|" + e.sValue + L"|" + e.sValue2 + L"|" + e.sApp);
  }
  return entries;
}

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
    EXPECT_EQ(ReadScriptRecords(c.sBytes).records, c.records);
  }
}

// Fields are trimmed and keep their case, a sixth and later are dropped; a
// tab in the record makes tab the only separator; records are decoded from
// the ANSI code page; the area in force ("abf" until an area record names
// another) goes with every entry.
TEST(ScriptFields, EntriesHaveTheirFieldsAndTheAreaInForce) {
  const struct {
    std::string sBytes;
    std::vector<std::wstring> entries;
  } kCases[] = {
      {"COPY ; Shared ; a.dll\r\nregt;Software\\X;Name\r\na;b;c;d;e;f;g\r\n",
       {L"COPY|Shared|a.dll|||abf", L"regt|Software\\X|Name|||abf", L"a|b|c|d|e|abf"}},
      {"copy\tshared\tmy;file.dll\r\ncopy;shared;a.dll\tx\r\n",
       {L"copy|shared|my;file.dll|||abf", L"copy;shared;a.dll|x||||abf"}},
      {qmtest::ToAnsi(L"copy;shared;Grüße.txt\r\n"), {L"copy|shared|Grüße.txt|||abf"}},
      {"copy;shared;a.dll\r\nver;510\r\nBereich;REWE\r\ncopy;work;b.mda\r\nVER ; 820 \r\napp\r\ncopy;x;c\r\nLOG\r\n",
       {L"copy|shared|a.dll|||abf", L"ver|510||||abf", L"app|REWE||||rewe", L"copy|work|b.mda|||rewe",
        L"VER|820||||rewe", L"app|||||", L"copy|x|c|||", L"LOG|||||"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sBytes);
    EXPECT_EQ(Entries(c.sBytes), c.entries);
  }
}

// Scripts with a byte-order mark are read in their encoding: see
// qmRunTest.ScriptsSavedAsUnicodeRunFromTheirFirstRecordAndKeepTheirNames.
TEST(ScriptEncodings, NulBytesWithoutMarkAndBrokenUnicodeAreRefused) {
  auto status = [](const std::string& bytes) {
    tTrevalonScript script;
    tScriptStatus result = ParseScript(bytes, script).status;
    EXPECT_TRUE(script.entries.empty());
    return result;
  };
  // An ANSI script that PowerShell's ">>" appended Unicode to: its NUL
  // bytes come after the first line. "Unicode" without its mark, a NUL
  // character, odd-length UTF-16 and broken UTF-8 are rows of
  // MissingOrUnclosedScriptStopsTheRunBeforeAnythingIsTouched.
  EXPECT_EQ(status("ver;820\r\n" + qmtest::SavedAs(L"copy;shared;a.dll\r\n", qmtest::tSavedAs::kUtf16LE)),
            tScriptStatus::kNulBytes);
  EXPECT_EQ(status(std::string("\xFF\xFE\x00\xD8v\0", 6)), tScriptStatus::kBadEncoding);  // lone surrogate
  EXPECT_EQ(status("\xFE\xFF"), tScriptStatus::kRead);
}

// The last version counts; a "log" record anywhere asks for the log (a
// script without one writes none: qmRunTest.TheLogHolds...).
TEST(ScriptSettings, VersionAndLogAreCollectedWhileReading) {
  tTrevalonScript script = Parse("ver;510\r\ncopy;work;b.mda\r\nVER ; 820 \r\nLOG\r\n");
  EXPECT_EQ(script.sVersion, L"820");
  EXPECT_TRUE(script.bLog);
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
  // Without NUL bytes, which stop any script before it is read.
  for (char& c : garbage) c = static_cast<char>(random() % 255 + 1);
  tTrevalonScript script;
  tScriptResult result = ParseScript(garbage, script);
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

  const struct {
    std::string sBytes;
    const wchar_t* sProblem;
  } kCases[] = {
      // The line counts the lines of a quoted record before it.
      {"ver;820\r\n\"x\r\ny\"\r\ncopy;shared;a.dll\r\n\"copy;shared;b.dll\r\nlog\r\n",
       L"das Anführungszeichen in Zeile 5 wird nicht geschlossen"},
      {qmtest::SavedAs(L"ver;820\r\n", qmtest::tSavedAs::kUtf16LE).substr(2),
       L"die Datei enthält Nullbytes (Unicode ohne Byte-Order-Mark?)"},
      {qmtest::SavedAs(std::wstring(L"ver;820\r\nx\0y\r\n", 15), qmtest::tSavedAs::kUtf16LE),
       L"der Text enthält ein Nullzeichen (U+0000)"},
      {"\xEF\xBB\xBFver;820\r\nown;M\xFCller\r\n", L"kein gültiger UTF-8-Text"},
      {"\xFF\xFEv\0e", L"kein gültiger UTF-16-Text"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(qmtest::ToAnsi(c.sProblem));
    qmtest::WriteBytes(folder / L"Trevalon.ini", c.sBytes);
    EXPECT_FALSE(RunUpdate(folder.path(), text, module));
    EXPECT_EQ(text.Text(), L"Datei " + folder.path() + L"\\Trevalon.ini fehlerhaft: " + c.sProblem + L" - ABBRUCH");
    EXPECT_TRUE(module.gsOLRegKey.empty());
    EXPECT_EQ(module.glCountdownSeconds, 0);
  }
}

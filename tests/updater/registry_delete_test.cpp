// "regt", "regl" and "del" entries.
#include "basDeleteEntry.h"
#include "basRegistryEntry.h"
#include "qmOfficeLineFixture.h"

using qmtest::Exists;

// Text and whole numbers below the installation key (or the key given), in
// the 32-bit view that the product reads, up to version 4; a number that is
// none is not written.
TEST_F(qmRunTest, RegistryEntriesWriteTextAndNumbersInThe32BitViewThatTheProductReads) {
  SetInstallation(kKey440);
  const std::wstring sub = std::wstring(kKey440) + L"\\QmSub";
  DeleteRegTree(kKey440, KEY_WOW64_64KEY);
  WriteScript({"ver;440", "regt;;QmText;Wert <OLRoot>", "regl;QmSub;Negativ;-42", "REGL;QmSub;Halb;2.5",
               "regt;Sub;Hk;x;HKEY_CURRENT_USER\\SOFTWARE\\QmTrevalonTest",
               "regt;;Lm;y;\\HKEY_LOCAL_MACHINE\\SOFTWARE\\QmTrevalonTest", "regl;;QmZahl;7", "regl;;QmZahl;12a",
               "regl;;QmZahl;3000000000", "regl;;QmZahl;"});
  EXPECT_TRUE(Run());
  const auto refused = [](const std::wstring& sValue) {
    return L"Registriere: QmZahl" +
           Failure(L"Der Wert \"" + sValue + L"\" ist keine ganze Zahl im Bereich von -2147483648 bis 2147483647");
  };
  EXPECT_EQ(Text(), StartLines(kKey440) + L"Registriere: QmText" + kOk + L"Registriere: Negativ" + kOk +
                        L"Registriere: Halb" + kOk + L"Registriere: Hk" + kOk + L"Registriere: Lm" + kOk +
                        L"Registriere: QmZahl" + kOk + refused(L"12a") + refused(L"3000000000") + refused(L""));
  EXPECT_EQ(mModule.glFailedEntries, 3);
  DWORD type = 0;
  EXPECT_EQ(ReadRegText(kKey440, L"QmText", &type), L"Wert " + root());
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(ReadRegDword(sub, L"Negativ", &type), 0xFFFFFFD6u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(ReadRegDword(sub, L"Halb"), 2u);
  EXPECT_EQ(ReadRegDword(kKey440, L"QmZahl"), 7u);
  EXPECT_EQ(ReadRegText(std::wstring(kOtherBase) + L"\\Sub", L"Hk"), L"x");
  EXPECT_EQ(ReadRegText(kOtherBase, L"Lm"), L"y");
  EXPECT_EQ(ReadRegText(kKey440, L"QmText", nullptr, KEY_WOW64_64KEY), L"<missing>");
  EXPECT_EQ(ReadRegDword(sub, L"Negativ", nullptr, KEY_WOW64_64KEY), 0xDEADBEEFu);

  // From version 5 on they are passed over.
  WriteScript({"ver;820", "regt;;QmNie;x", "regl;;QmNie;1"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey820));
  EXPECT_EQ(ReadRegText(kKey820, L"QmNie"), L"<missing>");
}

TEST(ToLong, RoundsHalvesToEvenAndRefusesWhatIsNoNumber) {
  EXPECT_EQ(ToLong(L" -7 "), -7);
  EXPECT_EQ(ToLong(L"3.5"), 4);
  EXPECT_EQ(ToLong(L"-2147483648"), INT32_MIN);
  EXPECT_EQ(ToLong(L"2147483647.4"), INT32_MAX);
  EXPECT_FALSE(ToLong(L"2147483647.5"));
  EXPECT_FALSE(ToLong(L"1e3"));
  EXPECT_FALSE(ToLong(L"- 1"));
  EXPECT_FALSE(ToLong(L"."));
}

TEST_F(qmRunTest, DeleteEntriesRemoveMatchingNormalFilesOnly) {
  for (const wchar_t* name : {L"a.tmp", L"b.tmp", L"c.tmp", L"sys.tmp", L"keep.txt", L"hidden.txt", L"ro.txt"})
    qmtest::WriteBytes(shared() + L"\\" + name, "x");
  SetFileAttributesW((shared() + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW((shared() + L"\\sys.tmp").c_str(), FILE_ATTRIBUTE_SYSTEM);  // no match of *.tmp
  // One match that cannot go keeps none of the others.
  SetFileAttributesW((shared() + L"\\b.tmp").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW((shared() + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteScript({"ver;820", "del;shared;*.tmp", "del;shared;gone.txt", "del;shared;hidden.txt", "del;shared;ro.txt",
               "del;;keep.txt", "del;shared;keep.txt"});
  EXPECT_TRUE(Run());
  const std::wstring missing = L" nicht vorhanden, insofern erfolgreich \r\n";
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Lösche: *.tmp" +
                        Failure(shared() + L"\\b.tmp: " + ErrorText(ERROR_ACCESS_DENIED)) + L"Lösche: gone.txtDatei: " +
                        shared() + L"\\gone.txt" + missing + L"Lösche: hidden.txtDatei: " + shared() +
                        L"\\hidden.txt" + missing + L"Lösche: ro.txt" + Failure(ERROR_ACCESS_DENIED) +
                        L"Lösche: keep.txt" + Failure(ERROR_PATH_NOT_FOUND) + L"Lösche: keep.txt" + kOk);
  for (const auto& [name, bStays] : {std::pair{L"a.tmp", false}, {L"b.tmp", true}, {L"c.tmp", false},
                                     {L"sys.tmp", true}, {L"hidden.txt", true}, {L"ro.txt", true},
                                     {L"keep.txt", false}}) {
    EXPECT_EQ(Exists(shared() + L"\\" + name), bStays) << name;
  }
}

TEST(DeletePattern, TakesAMatchOfTheShortNameOnlyWhenTheLongNameFits) {
  // Wine has no 8.3 names: the rows give the short name Windows would.
  const struct {
    const wchar_t* sPattern;
    const wchar_t* sLong;
    const wchar_t* sShort;
    bool bTaken;
  } kCases[] = {
      {L"*.tmp", L"Vorlage.tmpl", L"VORLAG~1.TMP", false},
      {L"*.tmp", L"alte datei.tmp", L"ALTEDA~1.TMP", true},
      {L"*.TMP", L"Sicherung.Tmp", L"SICHER~1.TMP", true},
      {L"a?c*.log", L"abcdefghij.log", L"ABCDEF~1.LOG", true},
      {L"a?c*.log", L"abdefghijk.log", L"ABDEFG~1.LOG", false},
      {L"*.*", L"Vorlage.tmpl", L"VORLAG~1.TMP", true},
      {L"*.xls", L"Umsatz.xlsx", L"", true},  // no short name: the search matched the long one
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::internal::String::ShowWideCString(c.sLong));
    EXPECT_EQ(bLongNameFits(c.sLong, c.sShort, c.sPattern), c.bTaken);
  }
}

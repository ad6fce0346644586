// The configuration update: revision and owner entries, the file in
// "Shared\ConfigUpdates" and the configuration tool (from the development
// folder: see TrevalonWindow.AnAbortCountsDownFrom30AndTheDevelopmentFolderFrom90).
#include "qmOfficeLineFixture.h"

#include "basqmTextFile.h"

using qmtest::Exists;
using qmtest::ReadBytes;

namespace {

std::string Fragment(const std::string& app, const std::string& file, const std::string& name) {
  return "\r\n~Revision = \"1\"\r\n~Insert = \"/configuration/Office_x0020_Line/" + app + "/add-ins\"\r\n<" + name +
         ">\r\n  <add name=\"Library\" value=\"XXXINSTALLDIRXXX\\AddIn\\Work\\" + file +
         "\" type=\"string\" />\r\n</" + name + ">\r\n";
}

// A disk that fills up while the file is written: the first bytes land,
// then WriteFile fails.
BOOL WINAPI FullDiskWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  WriteFile(file, data, size < 10 ? size : 10, written, overlapped);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

}  // namespace

TEST_F(qmRunTest, ALibraryInTheWorkFolderIsAnnouncedAndTheToolStarted) {
  PutUpdaterFiles({{L"MyLib.MDA", "lib"}});
  WriteScript({"ver;820", "rev;4", "own;Quen Mark-Soft.GmbH", "bereich;REWE", "copy;Work;MyLib.MDA"});
  EXPECT_TRUE(Run());
  const std::wstring command = L"\"" + root() + L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe\" 8.2";
  EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: MyLib.MDA" + kOk + ToolLines(L"8.2"));
  EXPECT_EQ(ReadBytes(ConfigFile(L"QuenMarkSoftGmbH")),
            "~Owner = \"Quen Mark-Soft.GmbH\"" + Fragment("rewe", "MyLib.MDA", "mylib") + "\r\n");
  EXPECT_EQ(WaitForToolRecord(),
            command + L"\r\nshow=" + std::to_wstring(SW_SHOWMAXIMIZED) + L"\r\ndir=" + root() + L"\\Shared");
  EXPECT_EQ(mModule.glFailedEntries, 0);
}

// Without an owner the file is named for Quenmark; of two owners the last
// names the file, the first is written in it; before version 5 no file.
TEST_F(qmRunTest, OwnersAndRevisionsNameAndFillTheFileAndOldVersionsGetNone) {
  PutUpdaterFiles({{L"a.mda", "a"}, {L"b.mde", "b"}});
  WriteScript({"ver;820", "rev;-1", "copy;work;a.mda", "copy;shared;a.mda", "rev;40000"});
  EXPECT_TRUE(Run());
  EXPECT_NE(Text().find(L"Kopiere: a.mda" + std::wstring(kOk) +
                        Failure(L"Die Revision \"40000\" liegt nicht im Bereich von -32768 bis 32766") +
                        L"FEHLER: Keine Revisionangabe in Trevalon.ini \r\n"),
            std::wstring::npos);
  EXPECT_EQ(ReadBytes(ConfigFile()), "~Owner = \"Quenmark\"" + Fragment("abf", "a.mda", "a") + "\r\n");
  WaitForToolRecord();

  WriteScript({"ver;510", "own;Erster", "copy;work;a.mda", "rev;x", "own;", "copy;work;b.mde", "own;Zweiter"});
  const wchar_t* const key = L"SOFTWARE\\Sage\\Office Line\\5.1";
  SetInstallation(key);
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(key) + L"Kopiere: a.mda" + kOk + L"FEHLERHAFTE Revisionangabe in Trevalon.ini!" +
                        L"FEHLERHAFTE Ownerangabe in Trevalon.ini!Kopiere: b.mde" + kOk +
                        L"FEHLER: Keine Revisionangabe in Trevalon.ini \r\n" + ToolLines(L"5.1"));
  EXPECT_EQ(ReadBytes(ConfigFile(L"Zweiter")),
            "~Owner = \"Erster\"" + Fragment("abf", "a.mda", "a") + Fragment("abf", "b.mde", "b") + "\r\n");
  EXPECT_FALSE(WaitForToolRecord().empty());
  EXPECT_EQ(mModule.glFailedEntries, 3);

  SetInstallation(kKey440);
  DeleteFileW(ConfigFile().c_str());
  WriteScript({"ver;440", "copy;work;a.mda"});
  EXPECT_TRUE(Run());
  EXPECT_EQ(Text(), StartLines(kKey440) + L"Kopiere: a.mda" + kOk);
  EXPECT_FALSE(Exists(ConfigFile()));
}

TEST_F(qmRunTest, NamesTheAnsiFileCannotHoldAreReportedInsteadOfWrittenWrongly) {
  ASSERT_EQ(GetACP(), 1252u) << "the test prefix runs on the Western European code page";
  const std::wstring polish = L"\u0141\u00f3d\u017a.mda";
  PutUpdaterFiles({{polish, "l"}, {L"Müller.mda", "m"}});
  qmtest::WriteBytes(updater() + L"\\Trevalon.ini",
                     qmtest::SavedAs(L"ver;820\r\nrev;1\r\nown;\u017baneta\r\nown;Müller GmbH\r\ncopy;work;" + polish +
                                         L"\r\ncopy;work;Müller.mda\r\n",
                                     qmtest::tSavedAs::kUtf8Bom));
  EXPECT_TRUE(Run());
  const std::wstring failure = Failure(ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(Text(), StartLines(kKey820) + failure + L"Kopiere: " + polish + failure + L"Kopiere: Müller.mda" + kOk +
                        ToolLines(L"8.2"));
  // The library is installed all the same; only its announcement is missing.
  EXPECT_EQ(ReadBytes(work() + L"\\" + polish), "l");
  EXPECT_EQ(ReadBytes(ConfigFile(L"MüllerGmbH")),
            "~Owner = \"M\xFCller GmbH\"" + Fragment("abf", "M\xFCller.mda", "m\xFCller") + "\r\n");
  EXPECT_EQ(mModule.glFailedEntries, 2);
  WaitForToolRecord();
}

// A file that cannot be written fails the entry that announces it, leaves
// an earlier file as it was, and the tool still starts: a missing folder, an
// owner no file name can hold (Windows would write "Firma:Zwei" as a stream
// of a file "TrevalonConfigFirma" and report success), a full disk.
TEST_F(qmRunTest, AConfigurationUpdateThatCannotBeWrittenIsReportedLeavesTheOldFileAndTheToolStillStarts) {
  const std::wstring folder = root() + L"\\Shared\\ConfigUpdates";
  const std::wstring file = folder + L"\\TrevalonConfig.configupdate";
  const std::string previous = "~Owner = \"Quenmark\" of the previous run";
  const struct {
    const char* sOwner;
    bool bFolder;
    tWriteFileFn writer;
    DWORD dwError;
  } kCases[] = {{"", false, nullptr, ERROR_PATH_NOT_FOUND},
                {"own;Firma:Zwei", true, nullptr, ERROR_INVALID_NAME},
                {"", true, FullDiskWriteFile, ERROR_DISK_FULL}};
  PutUpdaterFiles({{L"a.mda", "a"}});
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.dwError);
    if (c.bFolder) {
      CreateDirectoryW(folder.c_str(), nullptr);
      qmtest::WriteBytes(file, previous);
    } else {
      RemoveDirectoryW(folder.c_str());
    }
    std::vector<std::string> script{"ver;820", "rev;1", "copy;work;a.mda"};
    if (*c.sOwner) script.insert(script.begin() + 2, c.sOwner);
    WriteScript(script);
    SetTextFileWriter(c.writer);
    const bool bOk = Run();
    SetTextFileWriter(nullptr);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(Text(), StartLines(kKey820) + L"Kopiere: a.mda" + kOk + Failure(c.dwError) + ToolLines(L"8.2"));
    EXPECT_EQ(mModule.glFailedEntries, 1);
    EXPECT_EQ(ReadBytes(file), c.bFolder ? previous : "");
    EXPECT_FALSE(Exists(file + L".tmp"));
    EXPECT_FALSE(Exists(folder + L"\\TrevalonConfigFirma"));
    EXPECT_FALSE(WaitForToolRecord().empty());
  }

  // Without the failure the file is replaced as a whole.
  WriteScript({"ver;820", "rev;1", "copy;work;a.mda"});
  EXPECT_TRUE(Run());
  EXPECT_FALSE(WaitForToolRecord().empty());
  EXPECT_EQ(ReadBytes(file), "~Owner = \"Quenmark\"" + Fragment("abf", "a.mda", "a") + "\r\n");
  EXPECT_FALSE(Exists(file + L".tmp"));
}

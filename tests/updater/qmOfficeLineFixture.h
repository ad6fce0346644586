// A simulated Office Line installation and an updater folder, built per
// test in a scratch folder: the installation's registry key with "Root"
// pointing at the scratch installation, the Access key, the folders, and
// the stand-in configuration tool in "Shared".
//
// Every test that writes the installation keys holds the CTest resource
// lock "office_line_registry" (see CMakeLists.txt), so tests in parallel
// processes never see each other's "Root".
#pragma once

#include "basTrevalon.h"
#include "basqmSysTools.h"
#include "qmMessageText.h"
#include "qmTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class qmRunTest : public ::testing::Test {
 protected:
  // The installation key of the version the tests mostly use, below HKLM.
  static constexpr wchar_t kKey820[] = L"SOFTWARE\\Sage\\Office Line\\8.2";
  static constexpr wchar_t kKey440[] = L"SOFTWARE\\Sage\\Office Line\\4.4";
  static constexpr wchar_t kKey330[] = L"SOFTWARE\\Sage\\KHK\\Office Line\\3.3";
  static constexpr wchar_t kAccessKey[] = L"SOFTWARE\\Microsoft\\Office\\10.0\\Access\\InstallRoot";
  // A base key other than the installation's, for entries that name one.
  static constexpr wchar_t kOtherBase[] = L"SOFTWARE\\QmTrevalonTest";

  // Starts and ends with nothing left for the next restart and without the
  // values the entry tests write (ForgetTestValues).
  qmRunTest();
  ~qmRunTest() override;
  static void ForgetTestValues();

  // "Root" of an installation key (below HKLM) pointing at root(), or
  // removed when bPresent is false.
  void SetInstallation(const std::wstring& sKey, bool bPresent = true);

  // Trevalon.ini from ANSI lines joined by CR LF (with a final CR LF).
  void WriteScript(const std::vector<std::string>& lines);
  // Files beside the updater, from bytes: {name, bytes} each.
  void PutUpdaterFiles(const std::vector<std::pair<std::wstring, std::string>>& files);
  // A program of the build folder (fixture DLLs, the stand-in tool) copied.
  void CopyFixture(const std::wstring& sFixture, const std::wstring& sTargetPath);

  bool Run();
  const std::wstring& Text() const { return mtxtInfo.Text(); }

  std::wstring updater() const { return mScratch / L"updater"; }
  std::wstring root() const { return mScratch / L"OL"; }
  std::wstring access() const { return mScratch / L"Access"; }
  std::wstring shared() const { return root() + L"\\shared"; }
  std::wstring work() const { return root() + L"\\addin\\work"; }
  std::wstring LogPath() const { return updater() + L"\\log_" + GetComputerNameText() + L".txt"; }
  // The configuration update file of the owner's name.
  std::wstring ConfigFile(const std::wstring& sOwner = L"") const {
    return root() + L"\\Shared\\ConfigUpdates\\TrevalonConfig" + sOwner + L".configupdate";
  }

  // The stand-in tool's record (command line, CR LF, "show=" window state,
  // CR LF, "dir=" current folder), waited for up to 20 s and removed, so
  // that the next start leaves a record of its own; empty when it never
  // came.
  std::wstring WaitForToolRecord() const;
  // The record a registered fixture component leaves beside sComponent:
  // regsvr32's command line, "show=" and "dir=" as the tool's; empty when
  // it was not registered.
  static std::wstring RegistrationRecord(const std::wstring& sComponent);

  // The run's report as the start lines for an installation at root().
  std::wstring StartLines(const std::wstring& sRegKey) const;
  // The report's lines for the configuration tool started for sVersion.
  std::wstring ToolLines(const std::wstring& sVersion) const;

  // The updater's folder and the installation below a folder with blanks
  // and parentheses, where a 32-bit installation lives on 64-bit Windows:
  // every command line the run builds must quote its paths.
  qmtest::ScratchFolder mScratch{L"run", L"C:\\Program Files (x86)\\Trevalon Tests"};
  clsqmMessageText mtxtInfo;
  tTrevalonModule mModule;
};

// A file held open as a running program holds it, until the object goes:
// by default for reading and writing, shared with nobody (a program that
// works on it); GENERIC_READ with FILE_SHARE_READ is how a library that a
// running program loaded is held (regsvr32 can still load it). Opened when
// missing.
struct qmHeldFile {
  explicit qmHeldFile(const std::wstring& path, DWORD dwAccess = GENERIC_READ | GENERIC_WRITE, DWORD dwShare = 0)
      : mh(CreateFileW(path.c_str(), dwAccess, dwShare, nullptr, OPEN_ALWAYS, 0, nullptr)) {}
  ~qmHeldFile() { CloseHandle(mh); }
  qmHeldFile(const qmHeldFile&) = delete;
  bool held() const { return mh != INVALID_HANDLE_VALUE; }
  const HANDLE mh;
};

// An output box that cannot take one of the messages: what it throws
// reaches the run (or the check) in the middle of an entry.
class qmFailingMirror final : public clsqmMessageText::Listener {
 public:
  explicit qmFailingMirror(std::wstring sTrigger) : msTrigger(std::move(sTrigger)) {}
  void OnReplaced(const std::wstring&) override {}
  void OnAppended(std::wstring_view sPiece) override {
    if (!mbThrown && sPiece.find(msTrigger) != std::wstring_view::npos) {
      mbThrown = true;
      throw std::length_error("the box is full");
    }
  }
  void OnRepaint() override {}

 private:
  std::wstring msTrigger;
  bool mbThrown = false;
};

// Registry helpers below HKEY_LOCAL_MACHINE, by default in the 32-bit view,
// where the 32-bit installers of Office Line and Access put their keys on a
// 64-bit machine.
void SetRegText(const std::wstring& sKey, const std::wstring& sName, const std::wstring& sValue,
                REGSAM view = KEY_WOW64_32KEY);
void DeleteRegValue(const std::wstring& sKey, const std::wstring& sName, REGSAM view = KEY_WOW64_32KEY);
std::wstring ReadRegText(const std::wstring& sKey, const std::wstring& sName, DWORD* pType = nullptr,
                         REGSAM view = KEY_WOW64_32KEY);
DWORD ReadRegDword(const std::wstring& sKey, const std::wstring& sName, DWORD* pType = nullptr,
                   REGSAM view = KEY_WOW64_32KEY);
void DeleteRegTree(const std::wstring& sKey, REGSAM view = KEY_WOW64_32KEY);

// True when a file matches the pattern ("*" and "?" as the file system's).
bool AnyFile(const std::wstring& sPattern);

// The renames Windows carries out at the next restart, as (source, target)
// pairs without the "\\??\\" in front; and the values of the RunOnce key
// (native view) as name -> command line.
std::vector<std::pair<std::wstring, std::wstring>> PendingRenames();
std::wstring RunOnceCommand(const std::wstring& sName);
// Forgets what tests left for the next restart of the test prefix: the
// pending renames and the RunOnce values the updater wrote.
void ClearRestartWork();

// How the report ends an entry: a success, or a failure with its message
// (the system's text of an error, or the run's own).
inline constexpr wchar_t kOk[] = L" - erfolgreich \r\n";
inline std::wstring Failure(const std::wstring& sText) { return L" - fehlgeschlagen \r\nFehlermeldung: " + sText; }
inline std::wstring ErrorText(DWORD dwError) { return SystemErrorText(dwError); }
inline std::wstring Failure(DWORD dwError) { return Failure(ErrorText(dwError)); }

// What a user would see of the machine: every file and folder below
// sFolder but those whose names end with one of `except` (attributes; of
// files size and contents, with bTimes the time of last write too), and
// every value below each of `keys` of HKEY_LOCAL_MACHINE in both views
// (type and bytes).
using tSnapshot = std::map<std::wstring, std::string>;
tSnapshot Snapshot(const std::wstring& sFolder, const std::vector<std::wstring>& except, bool bTimes,
                   const std::vector<std::wstring>& keys);
// The entries that differ ("gone or changed: ", "new: "), for a readable failure.
std::wstring Differences(const tSnapshot& before, const tSnapshot& after);

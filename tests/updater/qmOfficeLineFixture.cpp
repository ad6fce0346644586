#include "qmOfficeLineFixture.h"

#include <vector>

#include <wchar.h>

namespace {

// Reads a value of the key in one view (RegGetValueW's own view flags need
// Windows 10).
LSTATUS GetValue(const std::wstring& sKey, const std::wstring& sName, DWORD flags, DWORD* pType, void* data,
                 DWORD* size, REGSAM view) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_QUERY_VALUE | view, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegGetValueW(key, nullptr, sName.c_str(), flags, pType, data, size);
  RegCloseKey(key);
  return status;
}

}  // namespace

void SetRegText(const std::wstring& sKey, const std::wstring& sName, const std::wstring& sValue, REGSAM view) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, sName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(sValue.c_str()),
                 static_cast<DWORD>((sValue.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void DeleteRegValue(const std::wstring& sKey, const std::wstring& sName, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_SET_VALUE | view, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, sName.c_str());
  RegCloseKey(key);
}

qmRunTest::qmRunTest() {
  for (const std::wstring& folder :
       {updater(), root(), access(), shared(), root() + L"\\addin", work(), root() + L"\\abf", root() + L"\\rewe",
        root() + L"\\Shared\\ConfigUpdates"}) {
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  CopyFixture(L"Sagede.Shared.UpdateConfigTool.exe", root() + L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe");
  SetInstallation(kKey820);
  SetRegText(kAccessKey, L"Path", access());
  ClearRestartWork();
  ForgetTestValues();
}

qmRunTest::~qmRunTest() {
  ClearRestartWork();
  ForgetTestValues();
}

void qmRunTest::ForgetTestValues() {
  DeleteRegTree(std::wstring(kKey440) + L"\\QmSub");
  DeleteRegTree(kOtherBase);
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) DeleteRegValue(kKey440, L"QmText", view);
  DeleteRegValue(kKey440, L"QmZahl");
}

void qmRunTest::SetInstallation(const std::wstring& sKey, bool bPresent) {
  bPresent ? SetRegText(sKey, L"Root", root()) : DeleteRegValue(sKey, L"Root");
}

void qmRunTest::WriteScript(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  qmtest::WriteBytes(updater() + L"\\Trevalon.ini", bytes);
}

void qmRunTest::PutUpdaterFiles(const std::vector<std::pair<std::wstring, std::string>>& files) {
  for (const auto& [name, bytes] : files) qmtest::WriteBytes(updater() + L"\\" + name, bytes);
}

void qmRunTest::CopyFixture(const std::wstring& sFixture, const std::wstring& sTargetPath) {
  ASSERT_TRUE(CopyFileW((qmtest::ProgramFolder() + L"\\" + sFixture).c_str(), sTargetPath.c_str(), FALSE))
      << "fixture missing: " << testing::internal::String::ShowWideCString(sFixture.c_str());
}

bool qmRunTest::Run() { return RunUpdate(updater(), mtxtInfo, mModule); }

// The stand-ins write their records in UTF-16.
static std::wstring Utf16(const std::string& bytes) {
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

std::wstring qmRunTest::WaitForToolRecord() const {
  const std::wstring path = root() + L"\\Shared\\UpdateConfigTool.cmdline";
  std::string bytes;
  qmtest::WaitUntil([&] { return !(bytes = qmtest::ReadBytes(path)).empty(); }, 20000, 100);
  DeleteFileW(path.c_str());
  return Utf16(bytes);
}

std::wstring qmRunTest::RegistrationRecord(const std::wstring& sComponent) {
  return Utf16(qmtest::ReadBytes(sComponent + L".registered"));
}

std::wstring qmRunTest::StartLines(const std::wstring& sRegKey) const {
  return L"Trevalon startet...\r\nRegistry: HKEY_LOCAL_MACHINE\\" + sRegKey + L"\r\nOffice Line Pfad:" + root() +
         L"\r\nWindows: C:\\windows\r\n";
}

std::wstring qmRunTest::ToolLines(const std::wstring& sVersion) const {
  return L"Updatetool wird ausgeführt:\r\n\r\n  Parameter: \"" + root() +
         L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe\" " + sVersion;
}

std::wstring ReadRegText(const std::wstring& sKey, const std::wstring& sName, DWORD* pType, REGSAM view) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  const LSTATUS status = GetValue(sKey, sName, RRF_RT_ANY | RRF_NOEXPAND, pType, buffer, &size, view);
  return status == ERROR_SUCCESS ? buffer : L"<missing>";
}

DWORD ReadRegDword(const std::wstring& sKey, const std::wstring& sName, DWORD* pType, REGSAM view) {
  DWORD value = 0xDEADBEEF, size = sizeof(value);
  GetValue(sKey, sName, RRF_RT_ANY, pType, &value, &size, view);
  return value;
}

void DeleteRegTree(const std::wstring& sKey, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) return;
  RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), view, 0);
}

bool AnyFile(const std::wstring& sPattern) {
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW(sPattern.c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  return find != INVALID_HANDLE_VALUE;
}

namespace {

constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// "\??\C:\..." as Windows keeps the paths; a target starting with "!" is
// to be replaced when it exists.
std::wstring WithoutNtPrefix(std::wstring sPath) {
  if (!sPath.empty() && sPath[0] == L'!') sPath.erase(0, 1);
  return sPath.rfind(L"\\??\\", 0) == 0 ? sPath.substr(4) : sPath;
}

}  // namespace

std::vector<std::pair<std::wstring, std::wstring>> PendingRenames() {
  std::vector<std::pair<std::wstring, std::wstring>> renames;
  std::vector<wchar_t> buffer(65536);
  DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (GetValue(kSessionManagerKey, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, buffer.data(), &size,
               KEY_WOW64_64KEY) != ERROR_SUCCESS) {
    return renames;
  }
  // Strings in pairs, each ended by a NUL (an empty target is a deletion);
  // the list ends with an empty source. The zeroed buffer ends any string.
  for (const wchar_t* at = buffer.data(); *at != L'\0';) {
    const std::wstring source = at;
    at += source.size() + 1;
    const std::wstring target = at;
    at += target.size() + 1;
    renames.emplace_back(WithoutNtPrefix(source), WithoutNtPrefix(target));
  }
  return renames;
}

std::wstring RunOnceCommand(const std::wstring& sName) {
  return ReadRegText(kRunOnceKey, sName, nullptr, KEY_WOW64_64KEY);
}

void ClearRestartWork() {
  DeleteRegValue(kSessionManagerKey, L"PendingFileRenameOperations", KEY_WOW64_64KEY);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return;
  }
  std::vector<std::wstring> names;
  wchar_t name[16384];
  for (DWORD i = 0, length = 16384; RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
       ++i, length = 16384) {
    if (wcsncmp(name, L"Trevalon ", 9) == 0) names.emplace_back(name, length);
  }
  for (const std::wstring& value : names) RegDeleteValueW(key, value.c_str());
  RegCloseKey(key);
}

namespace {

void SnapshotFiles(const std::wstring& sFolder, const std::vector<std::wstring>& except, bool bTimes,
                   tSnapshot& snapshot) {
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW((sFolder + L"\\*").c_str(), &data);
  for (BOOL bMore = find != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(find, &data)) {
    const std::wstring name = data.cFileName;
    bool bSkip = name == L"." || name == L"..";
    for (const std::wstring& end : except) bSkip |= name.ends_with(end);
    if (bSkip) continue;
    const std::wstring path = sFolder + L"\\" + name;
    std::string& facts = snapshot[path] = "attributes=" + std::to_string(data.dwFileAttributes);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      SnapshotFiles(path, except, bTimes, snapshot);
      continue;
    }
    if (bTimes) facts += " write=" + std::to_string(data.ftLastWriteTime.dwHighDateTime) + ":" +
                         std::to_string(data.ftLastWriteTime.dwLowDateTime);
    facts += " content=" + qmtest::ReadBytes(path);
  }
  FindClose(find);
}

void SnapshotKey(const std::wstring& sKey, REGSAM view, tSnapshot& snapshot) {
  const std::wstring id = sKey + (view == KEY_WOW64_32KEY ? L" (32)" : L" (64)");
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    snapshot[id] = "absent";
    return;
  }
  snapshot[id] = "key";
  std::vector<std::wstring> subkeys;
  wchar_t name[16384];
  BYTE bytes[8192];
  for (DWORD i = 0, length = 16384, size = sizeof(bytes), type = 0;
       RegEnumValueW(key, i, name, &length, nullptr, &type, bytes, &size) == 0;
       ++i, length = 16384, size = sizeof(bytes)) {
    snapshot[id + L"|" + name] = std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(bytes), size);
  }
  for (DWORD i = 0, length = 256; RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
       ++i, length = 256) {
    subkeys.emplace_back(name, length);
  }
  RegCloseKey(key);
  for (const std::wstring& subkey : subkeys) SnapshotKey(sKey + L"\\" + subkey, view, snapshot);
}

}  // namespace

tSnapshot Snapshot(const std::wstring& sFolder, const std::vector<std::wstring>& except, bool bTimes,
                   const std::vector<std::wstring>& keys) {
  tSnapshot snapshot;
  SnapshotFiles(sFolder, except, bTimes, snapshot);
  for (const std::wstring& key : keys) {
    SnapshotKey(key, KEY_WOW64_32KEY, snapshot);
    SnapshotKey(key, KEY_WOW64_64KEY, snapshot);
  }
  return snapshot;
}

std::wstring Differences(const tSnapshot& before, const tSnapshot& after) {
  std::wstring text;
  for (const auto& [name, value] : before) {
    if (!after.contains(name) || after.at(name) != value) text += L"gone or changed: " + name + L"\n";
  }
  for (const auto& [name, value] : after) {
    if (!before.contains(name)) text += L"new: " + name + L"\n";
  }
  return text;
}

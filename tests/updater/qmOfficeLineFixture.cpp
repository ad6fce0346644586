#include "qmOfficeLineFixture.h"

#include "basqmSysTools.h"

#include <vector>

namespace {

void SetRegText(const std::wstring& sKey, const std::wstring& sName, const std::wstring& sValue) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, sName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(sValue.c_str()),
                 static_cast<DWORD>((sValue.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

}  // namespace

qmRunTest::qmRunTest() {
  for (const std::wstring& folder :
       {updater(), root(), access(), shared(), root() + L"\\addin", work(), root() + L"\\abf", root() + L"\\rewe",
        root() + L"\\Shared\\ConfigUpdates"}) {
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  CopyFixture(L"Sagede.Shared.UpdateConfigTool.exe", root() + L"\\Shared\\Sagede.Shared.UpdateConfigTool.exe");
  SetInstallation(kKey820);
  SetRegText(kAccessKey, L"Path", access());
}

void qmRunTest::SetInstallation(const std::wstring& sKey, bool bPresent) {
  if (bPresent) {
    SetRegText(sKey, L"Root", root());
  } else {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, sKey.c_str(), L"Root");
  }
}

void qmRunTest::SetAccessFolder(bool bPresent) {
  if (bPresent) {
    SetRegText(kAccessKey, L"Path", access());
  } else {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kAccessKey, L"Path");
  }
}

void qmRunTest::WriteScript(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  qmtest::WriteBytes(updater() + L"\\Trevalon.ini", bytes);
}

void qmRunTest::PutUpdaterFile(const std::wstring& sName, const std::string& bytes) {
  qmtest::WriteBytes(updater() + L"\\" + sName, bytes);
}

void qmRunTest::CopyFixture(const std::wstring& sFixture, const std::wstring& sTargetPath) {
  ASSERT_TRUE(CopyFileW((qmtest::ProgramFolder() + L"\\" + sFixture).c_str(), sTargetPath.c_str(), FALSE))
      << "fixture missing: " << testing::internal::String::ShowWideCString(sFixture.c_str());
}

bool qmRunTest::Run() { return RunUpdate(updater(), mtxtInfo, mModule); }

std::wstring qmRunTest::WaitForToolRecord() const {
  const std::wstring path = root() + L"\\Shared\\UpdateConfigTool.cmdline";
  for (int i = 0; i < 200; ++i) {
    std::string bytes = qmtest::ReadBytes(path);
    if (!bytes.empty()) return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    Sleep(100);
  }
  return std::wstring();
}

std::wstring qmRunTest::RegistrationRecord(const std::wstring& sComponent) {
  std::string bytes = qmtest::ReadBytes(sComponent + L".registered");
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

std::wstring qmRunTest::StartLines(const std::wstring& sRegKey) const {
  return L"Trevalon startet...\r\nRegistry: HKEY_LOCAL_MACHINE\\" + sRegKey + L"\r\nOffice Line Pfad:" + root() +
         L"\r\nWindows: C:\\windows\r\n";
}

std::wstring ReadRegText(const std::wstring& sKey, const std::wstring& sName, DWORD* pType) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, sKey.c_str(), sName.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, buffer,
                   &size) != ERROR_SUCCESS) {
    return L"<missing>";
  }
  if (pType) *pType = type;
  return buffer;
}

DWORD ReadRegDword(const std::wstring& sKey, const std::wstring& sName, DWORD* pType) {
  DWORD value = 0xDEADBEEF;
  DWORD size = sizeof(value);
  DWORD type = 0;
  RegGetValueW(HKEY_LOCAL_MACHINE, sKey.c_str(), sName.c_str(), RRF_RT_ANY, &type, &value, &size);
  if (pType) *pType = type;
  return value;
}

void DeleteRegTree(const std::wstring& sKey) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, sKey.c_str()); }

std::wstring ErrorText(DWORD dwError) { return SystemErrorText(dwError); }

#include "qmTrevalonDriver.h"

#include <wchar.h>

#include <stdexcept>
#include <vector>

namespace qmtest {

namespace {

constexpr wchar_t kOfficeLineKey[] = L"SOFTWARE\\Sage\\Office Line\\";

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

struct tWindowSearch {
  DWORD dwProcessId;
  std::wstring sClass;
  std::wstring sTitle;  // empty: any
  HWND found;
};

BOOL CALLBACK FindTopLevel(HWND hwnd, LPARAM lParam) {
  auto* search = reinterpret_cast<tWindowSearch*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != search->dwProcessId || !IsWindowVisible(hwnd)) return TRUE;
  if (_wcsicmp(ClassOf(hwnd).c_str(), search->sClass.c_str()) != 0) return TRUE;
  if (!search->sTitle.empty() && WindowText(hwnd) != search->sTitle) return TRUE;
  search->found = hwnd;
  return FALSE;
}

HWND FindProcessWindow(DWORD dwProcessId, const std::wstring& sClass, const std::wstring& sTitle, int iTimeoutMs) {
  tWindowSearch search{dwProcessId, sClass, sTitle, nullptr};
  WaitUntil(
      [&] {
        EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      iTimeoutMs, 10);
  return search.found;
}

std::wstring ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

void CreateFolders(const std::wstring& path) {
  for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1)) {
    CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

}  // namespace

tOfficeLine::tOfficeLine(const std::wstring& sVersionKey) : msKey(kOfficeLineKey + sVersionKey) {
  for (const wchar_t* folder : {L"shared", L"addin", L"addin\\work", L"shared\\ConfigUpdates", L"abf"}) {
    CreateDirectoryW(Path(folder).c_str(), nullptr);
  }
  HKEY key = nullptr;
  // In the 32-bit view, where the product's 32-bit installer puts it.
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, msKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    throw std::runtime_error("cannot create the Office Line key");
  }
  const std::wstring& root = Root();
  RegSetValueExW(key, L"Root", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                 static_cast<DWORD>((root.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

tOfficeLine::~tOfficeLine() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, msKey.c_str(), KEY_WOW64_32KEY, 0); }

void RemoveOfficeLineKey(const std::wstring& sVersionKey) {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (kOfficeLineKey + sVersionKey).c_str(), KEY_WOW64_32KEY, 0);
}

tDeployment::tDeployment() : mbOwnFolder(true) {
  {
    ScratchFolder scratch(L"trevalon");  // only to find a fresh name
    msFolder = scratch.path();
  }
  CreateFolders(msFolder);
  if (!CopyFileW((ProgramFolder() + L"\\Trevalon.exe").c_str(), Program().c_str(), FALSE)) {
    throw std::runtime_error("cannot copy Trevalon.exe");
  }
}

tDeployment::tDeployment(const std::wstring& folder) : msFolder(folder), mbOwnFolder(true) {
  RemoveTree(msFolder);
  CreateFolders(msFolder);
  if (!CopyFileW((ProgramFolder() + L"\\Trevalon.exe").c_str(), Program().c_str(), FALSE)) {
    throw std::runtime_error("cannot copy Trevalon.exe");
  }
}

tDeployment::~tDeployment() {
  if (mbOwnFolder) RemoveTree(msFolder);
}

void tDeployment::WriteScript(const std::string& sAnsiText) const { WriteBytes(Path(L"Trevalon.ini"), sAnsiText); }

std::wstring tDeployment::LogPath() const { return Path(L"log_" + ComputerName() + L".txt"); }

tTrevalonProcess::tTrevalonProcess(const std::wstring& program, const std::wstring& arguments,
                                   const std::wstring& currentFolder, HANDLE hStdOutput)
    : tProcess(L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments),
               currentFolder.empty() ? program.substr(0, program.rfind(L'\\')) : currentFolder, hStdOutput) {
  if (!started()) throw std::runtime_error("cannot start Trevalon.exe");
}

HWND tTrevalonProcess::MainWindow(int iTimeoutMs) {
  if (!mhwndMain) {
    WaitForInputIdle(handle(), static_cast<DWORD>(iTimeoutMs));
    mhwndMain = FindProcessWindow(id(), L"TrevalonMainWindow", L"", iTimeoutMs);
  }
  return mhwndMain;
}

HWND tTrevalonProcess::Control(int iId) { return GetDlgItem(MainWindow(), iId); }

HWND tTrevalonProcess::Dialog(const std::wstring& title, int iTimeoutMs) {
  return FindProcessWindow(id(), L"#32770", title, iTimeoutMs);
}

std::wstring WindowText(HWND hwnd, bool* pbAnswered, int iTimeoutMs) {
  if (pbAnswered) *pbAnswered = false;
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, static_cast<UINT>(iTimeoutMs), &length)) {
    return std::wstring();
  }
  std::vector<wchar_t> buffer(length + 64);
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), SMTO_NORMAL,
                           static_cast<UINT>(iTimeoutMs), &copied)) {
    return std::wstring();
  }
  if (pbAnswered) *pbAnswered = true;
  return std::wstring(buffer.data(), copied);
}

bool bBusy(HWND hwnd, int iTimeoutMs) {
  DWORD_PTR result = 0;
  return !SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(iTimeoutMs), &result);
}

void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

namespace {

struct tDialogParts {
  std::wstring sText;
  int iButtons = 0;
  bool bIcon = false;
};

BOOL CALLBACK CollectDialogParts(HWND hwnd, LPARAM lParam) {
  auto* parts = reinterpret_cast<tDialogParts*>(lParam);
  if (!IsWindowVisible(hwnd)) return TRUE;
  const std::wstring cls = ClassOf(hwnd);
  if (_wcsicmp(cls.c_str(), L"Button") == 0) {
    ++parts->iButtons;
  } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
    const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
      // Some message boxes keep an empty icon control.
      DWORD_PTR icon = 0;
      SendMessageTimeoutW(hwnd, STM_GETICON, 0, 0, SMTO_NORMAL, 5000, &icon);
      parts->bIcon |= icon != 0;
    } else {
      parts->sText += WindowText(hwnd);
    }
  }
  return TRUE;
}

tDialogParts Parts(HWND dialog) {
  tDialogParts parts;
  EnumChildWindows(dialog, CollectDialogParts, reinterpret_cast<LPARAM>(&parts));
  return parts;
}

}  // namespace

std::wstring DialogMessage(HWND dialog) { return Parts(dialog).sText; }
int VisibleButtons(HWND dialog) { return Parts(dialog).iButtons; }
bool bHasVisibleIcon(HWND dialog) { return Parts(dialog).bIcon; }

}  // namespace qmtest

#include "qmTrevalonDriver.h"

#include <wchar.h>

#include <stdexcept>
#include <vector>

namespace qmtest {

namespace {

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

}  // namespace

qmExeTest::qmExeTest() { CopyFixture(L"Trevalon.exe", Program()); }

std::wstring qmExeTest::LogPath() const { return updater() + L"\\log_" + ComputerName() + L".txt"; }

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

#include "qmTrevalonDriver.h"

#include <wchar.h>

#include <stdexcept>
#include <vector>

namespace qmtest {

namespace {

// A visible top-level window of the process with this class and, unless
// empty, this title.
HWND FindProcessWindow(DWORD dwProcessId, const wchar_t* sClass, const std::wstring& sTitle, int iTimeoutMs) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (HWND h = nullptr; (h = FindWindowExW(nullptr, h, sClass, nullptr)) != nullptr;) {
          DWORD pid = 0;
          GetWindowThreadProcessId(h, &pid);
          if (pid == dwProcessId && IsWindowVisible(h) && (sTitle.empty() || WindowText(h) == sTitle)) found = h;
        }
        return found != nullptr;
      },
      iTimeoutMs, 10);
  return found;
}

}  // namespace

qmExeTest::qmExeTest() { CopyFixture(L"Trevalon.exe", Program()); }

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

void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

tDialogParts DialogParts(HWND dialog) {
  tDialogParts parts;
  for (HWND h = GetWindow(dialog, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
    wchar_t cls[64] = {};
    GetClassNameW(h, cls, 64);
    if (!IsWindowVisible(h)) continue;
    if (_wcsicmp(cls, L"Button") == 0) {
      ++parts.iButtons;
    } else if (_wcsicmp(cls, L"Static") == 0 && (GetWindowLongPtrW(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      // Some message boxes keep an empty icon control.
      DWORD_PTR icon = 0;
      SendMessageTimeoutW(h, STM_GETICON, 0, 0, SMTO_NORMAL, 5000, &icon);
      parts.bIcon |= icon != 0;
    } else if (_wcsicmp(cls, L"Static") == 0) {
      parts.sText += WindowText(h);
    }
  }
  return parts;
}

}  // namespace qmtest

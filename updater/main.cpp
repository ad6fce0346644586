// Trevalon.exe: without arguments the window runs the update and counts
// down; with /silent the update runs once without any window, for software
// distribution tools that read the exit code.
#include "basTrevalon.h"
#include "frmMain.h"
#include "qmMessageText.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// Exit codes of the unattended mode.
constexpr int kExitSuccess = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitEntriesFailed = 2;
constexpr int kExitBadArguments = ERROR_INVALID_PARAMETER;  // 87

constexpr wchar_t kUsage[] =
    L"Aufruf: Trevalon.exe [/silent]\r\n\r\n"
    L"Ohne Argument führt Trevalon das Update aus Trevalon.ini in seinem Fenster aus.\r\n\r\n"
    L"/silent (auch -silent, --silent): Update einmal ohne Fenster ausführen.\r\n"
    L"Rückgabewert: 0 = erfolgreich, 2 = erfolgreich mit fehlgeschlagenen Einträgen, "
    L"1 = fehlgeschlagen, 87 = unbekanntes Argument.";

// The updater's folder holds the add-ins it installs, which may include
// DLLs: none of them may ever be loaded into the elevated updater, so DLLs
// come from the system folder only.
void HardenDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  FARPROC proc = kernel32 ? GetProcAddress(kernel32, "SetDefaultDllDirectories") : nullptr;
  if (proc) {
    reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(proc))(LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else {
    SetDllDirectoryW(L"");  // older systems: at least not the current folder
  }
}

// The folder of the program file, without a trailing backslash.
std::wstring ProgramFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) {
      std::wstring path(buffer.data(), n);
      const size_t slash = path.rfind(L'\\');
      return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool bIsSilentSwitch(const wchar_t* arg) {
  for (const wchar_t* name : {L"/silent", L"-silent", L"--silent"}) {
    if (CompareStringOrdinal(arg, -1, name, -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

struct tArguments {
  bool bSilent = false;
  bool bValid = true;
};

tArguments ParseArguments(int argc, wchar_t** argv) {
  tArguments args;
  for (int i = 1; i < argc && argv; ++i) {
    if (bIsSilentSwitch(argv[i])) {
      args.bSilent = true;
    } else {
      args.bValid = false;
    }
  }
  return args;
}

int RunUnattended(const std::wstring& sUpdaterFolder) {
  tTrevalonModule module;
  clsqmMessageText txtInfo;  // nobody shows it; the log copies it when the script asks
  if (!RunUpdate(sUpdaterFolder, txtInfo, module)) return kExitRunFailed;
  return module.glFailedEntries > 0 ? kExitEntriesFailed : kExitSuccess;
}

int RunWindow(HINSTANCE hInstance, int nCmdShow, const std::wstring& sUpdaterFolder) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  tTrevalonModule module;
  frmMain window(sUpdaterFolder, module);
  if (!window.Show(hInstance, nCmdShow)) return static_cast<int>(GetLastError() ? GetLastError() : 1);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // Tab, Shift+Tab and Enter move between the controls as in a dialog.
    if (window.hwnd() && IsDialogMessageW(window.hwnd(), &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int nCmdShow) {
  HardenDllSearch();

  const tArguments args = ParseArguments(__argc, __wargv);
  if (!args.bValid) {
    if (!args.bSilent) MessageBoxW(nullptr, kUsage, L"Trevalon", MB_OK | MB_ICONINFORMATION);
    return kExitBadArguments;
  }

  // Distribution agents start unattended runs in the system folder,
  // Explorer in the updater's folder: whatever is inherited, the run and the
  // programs it starts work from a folder of their own choosing.
  const std::wstring sUpdaterFolder = ProgramFolder();
  SetCurrentDirectoryW(sUpdaterFolder.c_str());
  if (args.bSilent) return RunUnattended(sUpdaterFolder);
  return RunWindow(hInstance, nCmdShow, sUpdaterFolder);
}

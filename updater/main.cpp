// Trevalon.exe: without arguments the window runs the update and counts
// down; with /silent the update runs once without any window, for software
// distribution tools that read the exit code, and writes its result line.
// /check writes what the run would do instead of running it: into the
// window, or with /silent to the standard output (or the console it was
// started from).
#include "basCheck.h"
#include "basTrevalon.h"
#include "basqmTextFile.h"
#include "frmMain.h"
#include "qmHandle.h"
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

constexpr wchar_t kUsage[] =
    L"Aufruf: Trevalon.exe [/silent] [/check] [/undo]\r\n\r\n"
    L"Ohne Argument führt Trevalon das Update aus Trevalon.ini in seinem Fenster aus.\r\n\r\n"
    L"/silent (auch -silent, --silent): Update einmal ohne Fenster ausführen.\r\n"
    L"/check (auch -check, --check): nur prüfen, was das Update auf diesem Rechner täte; "
    L"nichts wird verändert. Mit /silent auf die Standardausgabe.\r\n"
    L"/undo (auch -undo, --undo): das letzte Update auf diesem Rechner aus seiner Sicherung zurücknehmen; "
    L"mit /check nur anzeigen, was zurückgenommen würde.\r\n"
    L"Rückgabewert: 0 = erfolgreich, 2 = erfolgreich mit fehlgeschlagenen Einträgen, "
    L"3010 = erfolgreich, Neustart erforderlich, 1 = fehlgeschlagen, 87 = unbekanntes Argument.\r\n"
    L"In cmd.exe auf das Ende warten: start /wait Trevalon.exe /silent (dann %ERRORLEVEL%); in PowerShell: "
    L"(Start-Process .\\Trevalon.exe /silent -Wait -PassThru).ExitCode.";

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

// "/name", "-name" or "--name", in any case.
bool bIsSwitch(const wchar_t* arg, const wchar_t* name) {
  for (const wchar_t* prefix : {L"/", L"-", L"--"}) {
    const std::wstring form = std::wstring(prefix) + name;
    if (CompareStringOrdinal(arg, -1, form.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

struct tArguments {
  bool bSilent = false;
  bool bCheck = false;
  bool bUndo = false;
  bool bValid = true;
};

tArguments ParseArguments(int argc, wchar_t** argv) {
  tArguments args;
  for (int i = 1; i < argc && argv; ++i) {
    if (bIsSwitch(argv[i], L"silent")) {
      args.bSilent = true;
    } else if (bIsSwitch(argv[i], L"check")) {
      args.bCheck = true;
    } else if (bIsSwitch(argv[i], L"undo")) {
      args.bUndo = true;
    } else {
      args.bValid = false;
    }
  }
  return args;
}

// Where the plan and the result line go: the standard output when whoever
// started the updater gave it one (a distribution agent's pipe, a
// redirection); else the console of the program that started it (cmd.exe,
// PowerShell), which a window program does not get by itself. Nothing when
// there is neither.
class qmUnattendedOutput {
 public:
  qmUnattendedOutput() {
    mhOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    if (mhOutput != nullptr && mhOutput != INVALID_HANDLE_VALUE && GetFileType(mhOutput) != FILE_TYPE_UNKNOWN) return;
    mhOutput = nullptr;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    mConsole.reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    if (mConsole) mhOutput = mConsole.get();
  }

  void Write(const std::wstring& sText) const {
    if (!mhOutput) return;
    DWORD mode = 0;
    if (GetConsoleMode(mhOutput, &mode)) {
      DWORD written = 0;
      WriteConsoleW(mhOutput, sText.data(), static_cast<DWORD>(sText.size()), &written, nullptr);
    } else {
      (void)WriteAnsiText(mhOutput, sText);
    }
  }

  // True when the text goes to the console of the program that started the
  // updater: its prompt already stands there.
  [[nodiscard]] bool bAttached() const { return static_cast<bool>(mConsole); }

 private:
  HANDLE mhOutput = nullptr;
  qmUniqueFile mConsole;
};

std::wstring ResultText(bool bCompleted, const tTrevalonModule& module) {
  return ResultLineOf(bCompleted, module) + L" - Rückgabewert " + std::to_wstring(ExitCodeOf(bCompleted, module)) +
         L"\r\n";
}

int RunUnattended(const std::wstring& sUpdaterFolder, bool bUndo) {
  tTrevalonModule module;
  module.gbUndo = bUndo;
  clsqmMessageText txtInfo;  // nobody shows it; the log copies it when the script asks
  const bool bCompleted = RunUpdate(sUpdaterFolder, txtInfo, module);
  const qmUnattendedOutput output;
  output.Write((output.bAttached() ? L"\r\n" : L"") + ResultText(bCompleted, module));
  return ExitCodeOf(bCompleted, module);
}

int CheckUnattended(const std::wstring& sUpdaterFolder, bool bUndo) {
  tTrevalonModule module;
  module.gbUndo = bUndo;
  clsqmMessageText txtPlan;
  const bool bCompleted = CheckUpdate(sUpdaterFolder, txtPlan, module);
  const qmUnattendedOutput output;
  output.Write((output.bAttached() ? L"\r\n" : L"") + txtPlan.Text());
  return ExitCodeOf(bCompleted, module);
}

int RunWindow(HINSTANCE hInstance, int nCmdShow, const std::wstring& sUpdaterFolder, bool bCheck, bool bUndo) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  tTrevalonModule module;
  module.gbUndo = bUndo;
  frmMain window(sUpdaterFolder, module, bCheck ? frmMain::tMode::kCheck : frmMain::tMode::kUpdate);
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
  if (args.bSilent) {
    return args.bCheck ? CheckUnattended(sUpdaterFolder, args.bUndo) : RunUnattended(sUpdaterFolder, args.bUndo);
  }
  return RunWindow(hInstance, nCmdShow, sUpdaterFolder, args.bCheck, args.bUndo);
}

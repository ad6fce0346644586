#include "frmMain.h"

#include "basCheck.h"

#include <commctrl.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace {

constexpr wchar_t kClassName[] = L"TrevalonMainWindow";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kFirstTickMs = 300;  // the automatic run comes this long after loading
constexpr UINT kCountdownTickMs = 200;

// Positions and sizes of the window, in twips (1/1440 inch).
constexpr int kClientWidth = 8172;
constexpr int kClientHeight = 6540;
struct tControlRect {
  int iLeft, iTop, iWidth, iHeight;
};
constexpr tControlRect kInfoRect{120, 120, 6255, 6255};
constexpr tControlRect kUpdateRect{6480, 120, 1575, 495};
constexpr tControlRect kQuitRect{6480, 840, 1575, 495};
constexpr tControlRect kRestzeitRect{6360, 2400, 1815, 375};
constexpr double kInfoFontPoints = 8.4;

constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kWindowExStyle = 0;

int Twips(int iTwips, UINT uDpi) { return MulDiv(iTwips, static_cast<int>(uDpi), 1440); }

// The DPI functions of Windows 10 are looked up at run time, so the updater
// still starts on older systems (at the system DPI there).
template <typename F>
F UserProc(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  FARPROC proc = user32 ? GetProcAddress(user32, name) : nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
}

UINT SystemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

UINT WindowDpi(HWND hwnd) {
  static const auto getDpiForWindow = UserProc<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  const UINT dpi = getDpiForWindow ? getDpiForWindow(hwnd) : 0;
  return dpi ? dpi : SystemDpi();
}

SIZE WindowSizeForClient(int iClientWidth, int iClientHeight, UINT uDpi) {
  static const auto adjustForDpi =
      UserProc<BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT rc{0, 0, iClientWidth, iClientHeight};
  if (!adjustForDpi || !adjustForDpi(&rc, kWindowStyle, FALSE, kWindowExStyle, uDpi)) {
    AdjustWindowRectEx(&rc, kWindowStyle, FALSE, kWindowExStyle);
  }
  return SIZE{rc.right - rc.left, rc.bottom - rc.top};
}

// The system's message font at the given DPI, for buttons and the
// countdown box.
HFONT CreateMessageFont(UINT uDpi) {
  static const auto parametersForDpi =
      UserProc<BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT)>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (parametersForDpi && parametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, uDpi)) {
    return CreateFontIndirectW(&metrics.lfMessageFont);
  }
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    metrics.lfMessageFont.lfHeight =
        MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(uDpi), static_cast<int>(SystemDpi()));
    return CreateFontIndirectW(&metrics.lfMessageFont);
  }
  return nullptr;
}

HFONT CreateInfoFont(UINT uDpi) {
  LOGFONTW font{};
  font.lfHeight = -static_cast<LONG>(std::lround(kInfoFontPoints * uDpi / 72.0));
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = ANSI_CHARSET;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  lstrcpynW(font.lfFaceName, L"Courier New", LF_FACESIZE);
  return CreateFontIndirectW(&font);
}

// "major.minor.revision" from the program's own version resource; the
// fourth field of the resource is the revision.
std::wstring ProgramRevision() {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
  const auto* bytes = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
  const DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
  // VS_VERSIONINFO: a header, the key "VS_VERSION_INFO", then the fixed
  // part on a 32-bit boundary, recognisable by its signature.
  for (DWORD offset = 0; bytes && offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4) {
    VS_FIXEDFILEINFO info;
    CopyMemory(&info, bytes + offset, sizeof(info));
    if (info.dwSignature == 0xFEEF04BD) {
      return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionMS)) +
             L"." + std::to_wstring(LOWORD(info.dwFileVersionLS));
    }
  }
  return L"0.0.0";
}

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int iId) {
  return CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(iId)), GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

frmMain::frmMain(std::wstring sUpdaterFolder, tTrevalonModule& module, tMode mode)
    : msUpdaterFolder(std::move(sUpdaterFolder)), mModule(module), mMode(mode) {
  mText.SetListener(this);
}

frmMain::~frmMain() {
  mText.SetListener(nullptr);
  if (mhwnd) DestroyWindow(mhwnd);
}

bool frmMain::Show(HINSTANCE hInstance, int nCmdShow) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WndProc;
  wc.hInstance = hInstance;
  wc.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(1));
  wc.hIconSm = static_cast<HICON>(LoadImageW(hInstance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  // The design-time caption; loading replaces it.
  if (!CreateWindowExW(kWindowExStyle, kClassName, L"Trevalon", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                       CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, this)) {
    return false;
  }
  ShowWindow(mhwnd, nCmdShow);
  UpdateWindow(mhwnd);
  // The first enabled control in tab order takes the focus ("Update" is
  // still disabled, so the output box).
  if (HWND first = GetNextDlgTabItem(mhwnd, nullptr, FALSE)) SetFocus(first);
  return true;
}

LRESULT CALLBACK frmMain::WndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  frmMain* self = nullptr;
  if (uMsg == WM_NCCREATE) {
    self = static_cast<frmMain*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->mhwnd = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<frmMain*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcW(hwnd, uMsg, wParam, lParam);
  try {
    return self->HandleMessage(uMsg, wParam, lParam);
  } catch (...) {
    // Nothing escapes a window procedure; the run reports its own failures.
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
  }
}

LRESULT frmMain::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_CREATE:
      return OnCreate() ? 0 : -1;
    case WM_TIMER:
      if (wParam == kTimerId && !mbRunning) ocxTimer_Timer();
      return 0;
    case WM_COMMAND:
      // Only sent messages reach the window during a run (the run answers
      // them while it waits for regsvr32): a click sent by another program
      // must not start a second run inside the first.
      if (!mbRunning) OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_ACTIVATE:
      OnActivate(LOWORD(wParam) != WA_INACTIVE);
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_DESTROY:
      KillTimer(mhwnd, kTimerId);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      HWND hwnd = std::exchange(mhwnd, nullptr);
      txtInfo = cmdUpdate = cmdQuit = txtRestzeit = mhwndFocus = nullptr;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      return DefWindowProcW(hwnd, uMsg, wParam, lParam);
    }
    default:
      return DefWindowProcW(mhwnd, uMsg, wParam, lParam);
  }
}

bool frmMain::OnCreate() {
  // Created in tab order: "Update", output box, "Beenden", countdown box.
  cmdUpdate = CreateControl(mhwnd, WC_BUTTONW, L"Update", BS_PUSHBUTTON | WS_GROUP, 0, IDC_CMDUPDATE);
  txtInfo = CreateControl(mhwnd, WC_EDITW, L"Trevalon",
                          ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_NOHIDESEL | WS_VSCROLL, WS_EX_CLIENTEDGE,
                          IDC_TXTINFO);
  cmdQuit = CreateControl(mhwnd, WC_BUTTONW, L"Beenden", BS_PUSHBUTTON, 0, IDC_CMDQUIT);
  txtRestzeit = CreateControl(mhwnd, WC_EDITW, L"Text1", ES_AUTOHSCROLL | ES_READONLY, WS_EX_CLIENTEDGE,
                              IDC_TXTRESTZEIT);
  if (!cmdUpdate || !txtInfo || !cmdQuit || !txtRestzeit) return false;
  // No cap on the report's length (0 = the largest the control allows).
  SendMessageW(txtInfo, EM_SETLIMITTEXT, 0, 0);

  const UINT dpi = WindowDpi(mhwnd);
  const SIZE size = WindowSizeForClient(Twips(kClientWidth, dpi), Twips(kClientHeight, dpi), dpi);
  SetWindowPos(mhwnd, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ApplyLayout(dpi);

  Form_Load();
  return true;
}

void frmMain::OnCommand(int iId, int iNotify) {
  if (iNotify != BN_CLICKED) return;
  // A check window never updates, whoever sends the click: the disabled
  // button stops only the user's.
  if (iId == IDC_CMDUPDATE && mMode != tMode::kCheck) cmdUpdate_Click();
  if (iId == IDC_CMDQUIT) cmdQuit_Click();
}

// Gives the focus back to the control that had it, as dialogs do.
void frmMain::OnActivate(bool bActive) {
  if (!bActive) {
    mhwndFocus = GetFocus();
  } else if (mhwndFocus && IsChild(mhwnd, mhwndFocus)) {
    SetFocus(mhwndFocus);
  }
}

void frmMain::OnDpiChanged(UINT uDpi, const RECT& rcSuggested) {
  ApplyLayout(uDpi);
  SetWindowPos(mhwnd, nullptr, rcSuggested.left, rcSuggested.top, rcSuggested.right - rcSuggested.left,
               rcSuggested.bottom - rcSuggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Positions, sizes and fonts at the given DPI. The controls keep these
// whatever size the user gives the window.
void frmMain::ApplyLayout(UINT uDpi) {
  auto place = [uDpi](HWND control, const tControlRect& rc) {
    MoveWindow(control, Twips(rc.iLeft, uDpi), Twips(rc.iTop, uDpi), Twips(rc.iWidth, uDpi), Twips(rc.iHeight, uDpi),
               TRUE);
  };
  place(txtInfo, kInfoRect);
  place(cmdUpdate, kUpdateRect);
  place(cmdQuit, kQuitRect);
  place(txtRestzeit, kRestzeitRect);

  qmUniqueGdiObject infoFont(CreateInfoFont(uDpi));
  qmUniqueGdiObject controlsFont(CreateMessageFont(uDpi));
  SendMessageW(txtInfo, WM_SETFONT, reinterpret_cast<WPARAM>(infoFont.get()), TRUE);
  for (HWND control : {cmdUpdate, cmdQuit, txtRestzeit}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(controlsFont.get()), TRUE);
  }
  // The controls use the new fonts now; the old ones can go.
  mfontInfo = std::move(infoFont);
  mfontControls = std::move(controlsFont);
}

void frmMain::Form_Load() {
  SetWindowTextW(mhwnd, (L"Trevalon Rev. " + ProgramRevision() + (mMode == tMode::kCheck ? L" - Prüfung" : L"")).c_str());
  SetTimerInterval(kFirstTickMs);
  mText.Replace(L"Trevalon läuft....");
  EnableWindow(cmdUpdate, FALSE);
  SetWindowTextW(txtRestzeit, L"-");
  mModule.gdtCountdownStart = GetTickCount64();
}

void frmMain::ocxTimer_Timer() {
  if (muTimerInterval == kFirstTickMs && mMode == tMode::kCheck) {
    // A check only shows its plan: "Update" stays disabled and nothing
    // counts down, so nothing can change the machine from this window.
    SetTimerInterval(0);
    mbRunning = true;
    (void)CheckUpdate(msUpdaterFolder, mText, mModule);
    mbRunning = false;
    return;
  }
  if (muTimerInterval == kFirstTickMs) {
    SetTimerInterval(0);
    const bool bOk = bRunUpdate();
    mText.Append(L"\r\n" + ResultLineOf(bOk, mModule));
    SetTimerInterval(kCountdownTickMs);
    mModule.gdtCountdownStart = GetTickCount64();
  }

  // A length set by the run (30 after an abort) is kept. The folder is
  // compared exactly, case included: only the developer's own spelling of
  // the development folder gets the long countdown.
  if (mModule.glCountdownSeconds == 0) {
    mModule.glCountdownSeconds = msUpdaterFolder == DevelopmentFolder() ? 90 : 10;
  }

  // Whole seconds since the countdown (re)started, on the monotonic tick
  // count: a change of the system clock or daylight saving time neither
  // ends the updater early nor keeps it open. The box shows 10, 9, ... 0,
  // and the tick that shows -1 ends the updater.
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG elapsedMs = now >= mModule.gdtCountdownStart ? now - mModule.gdtCountdownStart : 0;
  const int64_t lRemaining = int64_t{mModule.glCountdownSeconds} - static_cast<int64_t>(elapsedMs / 1000);
  SetWindowTextW(txtRestzeit, std::to_wstring(lRemaining).c_str());

  EnableWindow(cmdUpdate, TRUE);

  if (lRemaining < 0) cmdQuit_Click();
}

// The timer stays armed during the run and while the message box is open:
// ticks that come while the box is open count down, so an unattended
// machine is never left waiting for someone to press OK.
void frmMain::cmdUpdate_Click() {
  const bool bOk = bRunUpdate();
  MessageBoxW(mhwnd, ResultLineOf(bOk, mModule).c_str(), L"Trevalon", MB_OK);
  // The countdown may have ended the updater while the box was open: the
  // window may be gone now.
}

void frmMain::cmdQuit_Click() {
  if (mhwnd) DestroyWindow(mhwnd);
}

void frmMain::SetTimerInterval(UINT uMilliseconds) {
  muTimerInterval = uMilliseconds;
  if (uMilliseconds == 0) {
    KillTimer(mhwnd, kTimerId);
  } else {
    SetTimer(mhwnd, kTimerId, uMilliseconds, nullptr);
  }
}

bool frmMain::bRunUpdate() {
  mbRunning = true;
  const bool bOk = RunUpdate(msUpdaterFolder, mText, mModule);
  mbRunning = false;
  return bOk;
}

void frmMain::OnReplaced(const std::wstring& sWholeText) {
  if (!txtInfo) return;
  SetWindowTextW(txtInfo, sWholeText.c_str());
  ScrollToEnd();
}

void frmMain::OnAppended(std::wstring_view sPiece) {
  if (!txtInfo || sPiece.empty()) return;
  const std::wstring piece(sPiece);  // EM_REPLACESEL wants a terminated string
  const LRESULT length = SendMessageW(txtInfo, WM_GETTEXTLENGTH, 0, 0);
  SendMessageW(txtInfo, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(txtInfo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
  SendMessageW(txtInfo, EM_SCROLLCARET, 0, 0);  // the caret is at the end now
}

// The run handles no window messages while it works, so it asks for the
// output box to be painted at the points where the user should see progress.
void frmMain::OnRepaint() {
  if (txtInfo) UpdateWindow(txtInfo);
}

void frmMain::ScrollToEnd() {
  const LRESULT length = SendMessageW(txtInfo, WM_GETTEXTLENGTH, 0, 0);
  SendMessageW(txtInfo, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(txtInfo, EM_SCROLLCARET, 0, 0);
}

// The updater's only window: it starts the update run by itself shortly
// after loading, mirrors the run's message text in its output box, then
// counts down and ends the updater. "Update" runs again, "Beenden" ends at
// once. The window holds no update logic of its own.
#pragma once

#include "basTrevalon.h"
#include "qmHandle.h"
#include "qmMessageText.h"

#include <windows.h>

#include <string>
#include <string_view>

// Control identifiers. They stay clear of IDOK and IDCANCEL, which the
// dialog keyboard handling sends for Enter and Escape. The window tests find
// the controls by them.
enum : int {
  IDC_CMDUPDATE = 101,
  IDC_TXTINFO = 102,
  IDC_CMDQUIT = 103,
  IDC_TXTRESTZEIT = 104,
};

class frmMain final : public clsqmMessageText::Listener {
 public:
  // kUpdate: the update runs by itself and the window counts down.
  // kCheck: the window shows what the update would do (CheckUpdate), with
  // no run and no countdown; "Beenden" ends it.
  enum class tMode { kUpdate, kCheck };

  // sUpdaterFolder: the folder of the program file, without a trailing
  // backslash. The module values live as long as the window.
  frmMain(std::wstring sUpdaterFolder, tTrevalonModule& module, tMode mode = tMode::kUpdate);
  ~frmMain() override;
  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  // Registers the class, creates and loads the window and shows it. False
  // when the window cannot be created.
  bool Show(HINSTANCE hInstance, int nCmdShow);
  [[nodiscard]] HWND hwnd() const { return mhwnd; }

  // The output box mirrors the message text: appends go to the end of the
  // box, never as a rewrite of the whole text.
  void OnReplaced(const std::wstring& sWholeText) override;
  void OnAppended(std::wstring_view sPiece) override;
  void OnRepaint() override;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);

  bool OnCreate();
  void OnCommand(int iId, int iNotify);
  void OnActivate(bool bActive);
  void OnDpiChanged(UINT uDpi, const RECT& rcSuggested);

  void Form_Load();
  void ocxTimer_Timer();
  void cmdUpdate_Click();
  void cmdQuit_Click();

  void ApplyLayout(UINT uDpi);
  void SetTimerInterval(UINT uMilliseconds);
  bool bRunUpdate();
  void ScrollToEnd();

  std::wstring msUpdaterFolder;
  tTrevalonModule& mModule;
  tMode mMode;
  clsqmMessageText mText;  // what txtInfo shows

  HWND mhwnd = nullptr;
  HWND txtInfo = nullptr;
  HWND cmdUpdate = nullptr;
  HWND cmdQuit = nullptr;
  HWND txtRestzeit = nullptr;
  HWND mhwndFocus = nullptr;  // the control that had the focus when the window was deactivated

  UINT muTimerInterval = 0;  // 0 = timer stopped
  bool mbRunning = false;    // inside RunUpdate
  qmUniqueGdiObject mfontInfo;      // Courier New for the output box
  qmUniqueGdiObject mfontControls;  // the system's message font for the rest
};

// What a thread's transfers share: one message-only window that receives
// the engine's notifications, so completions are handled on the thread that
// started them, and the transfers' deadline timers. Sessions, and with them cookies and connections,
// belong to each request object (qmHttpSessions).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "qmComTypes.h"

namespace korvanet {

class qmHttpTransfer;

// One engine notification, posted from WinHTTP's callback to the window.
struct qmHttpNotification {
  qmHttpTransfer* transfer;
  DWORD status;  // WINHTTP_CALLBACK_STATUS_*
  DWORD length;  // bytes of a completed read
  DWORD error;   // the failure of a request error
};

class qmHttpThread {
 public:
  static constexpr UINT kNotifyMessage = WM_APP + 0x4B1;

  // The calling thread's instance, created on first use; the caller owns one
  // reference. Null (with GetLastError set) when it cannot be created.
  static qmHttpThread* Acquire();
  void AddRef() { ++mRefs; }
  void Release();

  HWND Window() const { return mWindow; }

  // Calls transfer->OnDeadline() on this thread after milliseconds, unless
  // stopped first. Returns the timer's id, or 0 when none could be set.
  UINT_PTR StartDeadline(qmHttpTransfer* transfer, DWORD milliseconds);
  void StopDeadline(UINT_PTR id);

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  qmHttpThread() = default;
  ~qmHttpThread();
  bool Create();

  struct DeadlineEntry {
    UINT_PTR id;
    qmHttpTransfer* transfer;
  };
  long mRefs = 1;
  std::vector<DeadlineEntry> mDeadlines;  // the transfers whose timers run
  UINT_PTR mNextDeadline = 1;
  HWND mWindow = nullptr;
};

}  // namespace korvanet

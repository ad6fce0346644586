#include "qmHttpThread.h"

#include <new>

#include "qmHttpTransfer.h"
#include "qmModule.h"

namespace korvanet {
namespace {

constexpr wchar_t kWindowClass[] = L"KorvanetHttpNotify";

thread_local qmHttpThread* tCurrent = nullptr;

}  // namespace

qmHttpThread* qmHttpThread::Acquire() {
  if (tCurrent) {
    tCurrent->AddRef();
    return tCurrent;
  }
  auto* created = new (std::nothrow) qmHttpThread();
  if (!created) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!created->Create()) {
    DWORD error = GetLastError();
    delete created;
    SetLastError(error);
    return nullptr;
  }
  tCurrent = created;
  return created;
}

// The window class, registered once for the process and never unregistered:
// a thread unregistering it while another creates its window would fail
// that thread's start. The library stays loaded from then on (pinned), so
// the class's procedure never goes away under it. 0, or the system's error.
static DWORD RegisterWindowClassOnce() {
  static const DWORD error = [] {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&RegisterWindowClassOnce), &self))
      return GetLastError();
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = qmHttpThread::WindowProc;
    windowClass.hInstance = qmModuleInstance();
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return GetLastError();
    return static_cast<DWORD>(0);
  }();
  return error;
}

bool qmHttpThread::Create() {
  if (DWORD error = RegisterWindowClassOnce()) {
    SetLastError(error);
    return false;
  }
  mWindow = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            qmModuleInstance(), nullptr);
  if (!mWindow) return false;
  return true;
}

UINT_PTR qmHttpThread::StartDeadline(qmHttpTransfer* transfer, DWORD milliseconds) {
  // Ids are never reused, so a WM_TIMER that was already queued for a
  // stopped timer finds no transfer.
  const UINT_PTR id = mNextDeadline++;
  try {
    mDeadlines.push_back(DeadlineEntry{id, transfer});
  } catch (...) {
    return 0;
  }
  if (!SetTimer(mWindow, id, milliseconds < USER_TIMER_MAXIMUM ? milliseconds : USER_TIMER_MAXIMUM, nullptr)) {
    mDeadlines.pop_back();
    return 0;
  }
  return id;
}

void qmHttpThread::StopDeadline(UINT_PTR id) {
  if (id == 0) return;
  KillTimer(mWindow, id);
  std::erase_if(mDeadlines, [id](const DeadlineEntry& entry) { return entry.id == id; });
}

void qmHttpThread::Release() {
  if (--mRefs == 0) delete this;
}

qmHttpThread::~qmHttpThread() {
  if (tCurrent == this) tCurrent = nullptr;
  if (!mWindow) return;
  // The thread's last object is gone, so every transfer still reported
  // here was abandoned: only their closing matters, which ends them. (The
  // window takes whatever is still queued for it when it goes; later
  // closings find no window, and the engine's callback ends them.)
  MSG message;
  for (int i = 0; i < 100000 && PeekMessageW(&message, mWindow, kNotifyMessage, kNotifyMessage, PM_REMOVE); ++i) {
    auto* note = reinterpret_cast<qmHttpNotification*>(message.lParam);
    if (!note) continue;
    const qmHttpNotification copy = *note;
    delete note;
    if (copy.status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) copy.transfer->OnClosingUndelivered();
  }
  DestroyWindow(mWindow);
}

LRESULT CALLBACK qmHttpThread::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kNotifyMessage) {
    auto* note = reinterpret_cast<qmHttpNotification*>(lParam);
    if (note) {
      qmHttpNotification copy = *note;
      delete note;
      copy.transfer->OnNotification(copy);
    }
    return 0;
  }
  if (message == WM_TIMER && tCurrent && tCurrent->mWindow == window) {
    for (const DeadlineEntry& entry : tCurrent->mDeadlines) {
      if (entry.id != wParam) continue;
      qmHttpTransfer* transfer = entry.transfer;
      tCurrent->StopDeadline(wParam);
      transfer->OnDeadline();
      break;
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace korvanet

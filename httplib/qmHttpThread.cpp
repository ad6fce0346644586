#include "qmHttpThread.h"

#include <new>

#include "qmHttpTransfer.h"
#include "qmModule.h"

namespace korvanet {
namespace {

constexpr wchar_t kWindowClass[] = L"KorvanetHttpNotify";

thread_local qmHttpThread* tCurrent = nullptr;

// Runs on WinHTTP's threads (or inside a WinHttp* call): it only forwards
// the notification to the owning thread's window.
void CALLBACK EngineCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto* transfer = reinterpret_cast<qmHttpTransfer*>(context);
  if (!transfer) return;
  qmHttpNotification note = {transfer, status, 0, 0};
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      note.length = length;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      note.error = info ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError : ERROR_GEN_FAILURE;
      break;
    default:
      return;
  }
  if (transfer->TakeInline(note)) return;
  auto* posted = new (std::nothrow) qmHttpNotification(note);
  if (!posted) return;
  if (!PostMessageW(transfer->Window(), qmHttpThread::kNotifyMessage, 0,
                    reinterpret_cast<LPARAM>(posted)))
    delete posted;
}

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

bool qmHttpThread::Create() {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = qmModuleInstance();
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  mWindow = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            qmModuleInstance(), nullptr);
  if (!mWindow) return false;
  return true;
}

HINTERNET qmHttpThread::Session(const qmProxyRoute& route) {
  for (const SessionEntry& entry : mSessions)
    if (entry.route == route) return entry.session.get();
  // WinHTTP may still run the callback (closing notifications of connection
  // and session handles) after the last object is gone, so once it knows the
  // callback the library stays loaded until the process ends.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&EngineCallback), &self);
  const bool named = route.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  qmInternetHandle session(WinHttpOpen(L"Korvanet/1.0", route.accessType,
                                       named ? route.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                                       named && !route.bypass.empty() ? route.bypass.c_str() : WINHTTP_NO_PROXY_BYPASS,
                                       WINHTTP_FLAG_ASYNC));
  if (!session) return nullptr;
  if (WinHttpSetStatusCallback(session.get(), EngineCallback,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK)
    return nullptr;
  try {
    mSessions.push_back(SessionEntry{route, std::move(session)});
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return mSessions.back().session.get();
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
  mSessions.clear();
  if (mWindow) DestroyWindow(mWindow);
  // Fails while another thread still has a window of the class; the last
  // one unregisters it, so a reloaded library registers its own procedure.
  UnregisterClassW(kWindowClass, qmModuleInstance());
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

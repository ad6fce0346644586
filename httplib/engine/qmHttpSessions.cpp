#include "qmHttpSessions.h"

#include <new>

#include "qmHttpThread.h"
#include "qmHttpTls.h"
#include "qmHttpTransfer.h"

namespace korvanet {
namespace {

// Runs on WinHTTP's threads (or inside a WinHttp* call): it only forwards
// the notification to the owning thread's window.
void CALLBACK EngineCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto* transfer = reinterpret_cast<qmHttpTransfer*>(context);
  if (!transfer) return;
  qmHttpNotification note = {transfer, status, 0, 0};
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      // The last moment before the request goes out: only a certificate
      // that fails its pin is reported.
      if (transfer->PinHolds(handle)) return;
      break;
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
      // Nothing to post: only a receive that found the connection closed
      // matters, for a body that says where it ends (see qmHttpTransfer).
      if (length == sizeof(DWORD) && info && *static_cast<DWORD*>(info) == 0) transfer->OnPeerClosed(true);
      return;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      transfer->OnPeerClosed(false);  // what counts is the body's reading
      break;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      note.length = info && length >= sizeof(DWORD) ? *static_cast<DWORD*>(info) : 0;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
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
  if (posted &&
      PostMessageW(transfer->Window(), qmHttpThread::kNotifyMessage, 0, reinterpret_cast<LPARAM>(posted)))
    return;
  delete posted;
  // Only a finished transfer outlives its thread's window; its handle's
  // closing is the last that WinHTTP reports of it.
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING && !IsWindow(transfer->Window()))
    transfer->OnClosingUndelivered();
}

}  // namespace

HINTERNET qmHttpSessions::Session(const qmProxyRoute& route) {
  for (const Entry& entry : mEntries)
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
  qmRequestModernTls(session.get());
  if (WinHttpSetStatusCallback(session.get(), EngineCallback,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                   WINHTTP_CALLBACK_STATUS_SENDING_REQUEST | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                                   WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK)
    return nullptr;
  try {
    mEntries.push_back(Entry{route, std::move(session)});
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return mEntries.back().session.get();
}

}  // namespace korvanet

namespace korvanet {

bool qmHttpSessions::PinVerified(const qmProxyRoute& route, const std::wstring& hostPort,
                                 const std::string& pin) const {
  for (const Pin& verified : mVerifiedPins)
    if (verified.route == route && verified.hostPort == hostPort && verified.pin == pin) return true;
  return false;
}

void qmHttpSessions::RememberPin(const qmProxyRoute& route, const std::wstring& hostPort, const std::string& pin) {
  // (A client pins a handful of servers: no bound needed beyond memory.)
  mVerifiedPins.push_back(Pin{route, hostPort, pin});
}

}  // namespace korvanet

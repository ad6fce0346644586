// One asynchronous WinHTTP transfer. It is driven entirely on the thread
// that started it: WinHTTP's callback only posts notifications to that
// thread's window (qmHttpThread), which hands them to OnNotification.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "qmComTypes.h"
#include "qmHttpContentDecoder.h"
#include "qmHttpResponseFile.h"
#include "qmHttpSessions.h"
#include "qmHttpSettings.h"
#include "qmHttpThread.h"
#include "qmHttpUrl.h"

namespace korvanet {

// Hears the end of a transfer, successful or not, exactly once.
class qmHttpTransferSink {
 public:
  virtual void OnTransferDone(qmHttpResult& result) = 0;  // may take the result's texts

 protected:
  ~qmHttpTransferSink() = default;
};

class qmHttpTransfer {
 public:
  // Starts a transfer in the sessions of the request object it belongs to.
  // Returns 0 and the caller's reference in *transfer, or the error that
  // kept it from starting (then nothing was sent).
  static DWORD Start(qmHttpSettings settings, std::shared_ptr<qmHttpSessions> sessions, qmHttpTransferSink* sink,
                     qmHttpTransfer** transfer);

  // The caller gives up its reference: the sink hears nothing more, and the
  // transfer ends and frees itself when WinHTTP lets go of it.
  void Abandon();

  // What is known before completion (status line once headers arrived).
  long StatusCode() const { return mStatusCode; }
  const std::wstring& StatusText() const { return mStatusText; }
  // The response's headers, status line first, once they arrived; else empty.
  std::wstring HeadersText() const;

  HWND Window() const { return mWindow; }
  // Called by WinHTTP's callback, on any thread, right before the request
  // goes out: false when the request is pinned and the connection's
  // certificate is another (the transfer then ends with the pin's error).
  bool PinHolds(HINTERNET request) noexcept;
  // Called by WinHTTP's callback. A completion that WinHTTP reports inside
  // one of this transfer's own WinHttp* calls on the owning thread is kept
  // and handled right after that call; returns false when the notification
  // must be posted to the window instead.
  bool TakeInline(const qmHttpNotification& note);
  void OnNotification(const qmHttpNotification& note);
  // From WinHTTP's callback, in the order of the engine's events: a receive
  // for this request found the connection closed (true), or a response's
  // headers arrived (false).
  void OnPeerClosed(bool closed) { mbPeerClosed.store(closed, std::memory_order_release); }
  // The transfer's time is up: it ends with ERROR_WINHTTP_TIMEOUT, however
  // busily the server trickles.
  void OnDeadline();
  // WinHTTP closed the request handle of a finished transfer whose thread's
  // window no longer exists (the notification could not be posted).
  void OnClosingUndelivered();

  qmHttpTransfer(const qmHttpTransfer&) = delete;
  qmHttpTransfer& operator=(const qmHttpTransfer&) = delete;

 private:
  qmHttpTransfer(qmHttpThread* thread, std::shared_ptr<qmHttpSessions> sessions, qmHttpSettings settings,
                 qmHttpTransferSink* sink);
  ~qmHttpTransfer();
  // A finished transfer needs nothing of its thread any more, so the
  // thread's state (window, proxy settings) goes with its last object even
  // when the thread never dispatches this transfer's closing notification.
  void LetGoOfThread();
  void AddRef() { ++mRefs; }
  void Release();

  void Handle(const qmHttpNotification& note);
  void HandleSafely(const qmHttpNotification& note);
  // Runs a WinHttp* call of the state machine, marking it as this transfer's own.
  template <class Call>
  BOOL EngineCall(Call call) {
    mbInEngineCall = true;
    BOOL ok = call();
    mbInEngineCall = false;
    return ok;
  }
  DWORD Open();
  // Before anything goes to a pinned https server: its certificate, checked
  // once per session, host and port.
  DWORD CheckPin(const qmProxyRoute& route, const std::wstring& host, unsigned short port);
  DWORD ApplyOptions();
  // The current hop again from the start, after an answer that needs
  // nothing of what was sent (a handshake that could not be completed).
  void Restart();
  // A failed request that the engine may try once more: revocation that
  // could not be checked, a server asking for the client certificate.
  bool RetryAfter(DWORD error);
  DWORD Send();
  // Sends the next piece of a streamed body, or asks for the response
  // after the last one.
  void WriteNext();
  void ReceiveResponse();
  void OnHeaders();
  // Follows a redirect to location when the rules allow it; true when a new
  // request is under way (or the transfer has finished with its error).
  bool FollowRedirect(DWORD status);
  void ReadNext();
  // Makes room for a body of bytes (at most the limit) where memory allows.
  void Reserve(long long bytes);
  // Widens the piece of mBody at start onto mAsciiStart while it is ASCII.
  void Widen(size_t start, size_t length);
  // A piece of the body has arrived at the end of mBody.
  void OnReadComplete(DWORD length);
  void Finish(DWORD error);
  // The end of a download: the file replaces the target when the response
  // was a success and its body is complete. Returns error, or the error of
  // that last step.
  DWORD FinishFile(DWORD error);
  std::wstring QueryText(DWORD info) const;

  UINT_PTR mDeadline = 0;  // the timer that cuts the transfer off
  long mRefs = 1;  // the starter's; plus one while WinHTTP holds the request handle
  qmHttpThread* mpThread;  // one reference until the transfer finished
  std::shared_ptr<qmHttpSessions> mpSessions;
  HWND mWindow;
  qmHttpSettings mSettings;
  qmHttpTransferSink* mpSink;
  qmInternetHandle mConnect;
  qmInternetHandle mRequest;
  bool mbFinished = false;
  std::atomic<bool> mbSecure{false};  // the current hop is https (read by PinHolds too)
  // Revocation is checked unless a hop found it cannot be (no revocation
  // list published or reachable): then that transfer goes on without.
  bool mbRevocationUnknown = false;
  DWORD mSecureFailure = 0;  // the flags of the engine's last TLS failure
  bool mbClientCertOffered = false;
  qmCertificate mClientCert;  // of mSettings.clientCertificate
  std::atomic<bool> mbPinFailed{false};
  qmOrigin mOrigin;  // of the URL the client gave: its credentials are for it alone
  qmProxyRoute mRoute;  // of the current hop: only through a proxy is a 407 the proxy's
  int mRedirects = 0;
  int mServerChallenges = 0;
  int mProxyChallenges = 0;
  long mStatusCode = 0;
  std::wstring mStatusText;
  std::string mBody;
  size_t mReadStart = 0;
  std::wstring mAsciiStart;  // the text of mBody's ASCII start, while mbWidening
  bool mbWidening = false;
  long long mContentLength = -1;  // -1: not announced
  bool mbChunked = false;         // a transfer coding says where the body ends
  std::atomic<bool> mbPeerClosed{false};
  long long mReceived = 0;        // bytes of the response's body so far, as they came
  // A download (mSettings.responseFile): the body goes through the decoder
  // into the file piece by piece; mBody and mPiece are the two read buffers
  // (one filled by the engine, one written). The body of a response other
  // than a success is read and dropped.
  std::string mPiece;
  qmResponseFile mFile;
  std::unique_ptr<qmContentDecoder> mpDecoder;  // while a success's body is written
  DWORD mOwnerThread;
  bool mbInEngineCall = false;
  bool mbReadPending = false;  // WinHTTP is filling the tail of mBody
  bool mbHoldsModule = true;   // until the transfer finished or, abandoned, is freed
  std::vector<qmHttpNotification> mInline;
  DWORD mReadSize = 64 * 1024;
  qmBodyReader mUpload;             // of mSettings.bodyParts
  std::vector<char> mUploadBuffer;  // the piece WinHTTP is writing
};

}  // namespace korvanet

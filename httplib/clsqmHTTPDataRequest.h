// One HTTP request with its settings and its result: the creatable class
// Korvanet.clsqmHTTPDataRequest. Settings are plain properties; gbGet and
// gbPost hand them to the engine and, in sequential mode, wait for the end.
// Its default interface _clsqmHTTPDataRequest extends the interfaces of
// earlier versions (_clsqmHTTPDataRequest2 with the body as bytes and the
// download to a file, _clsqmHTTPDataRequest1 the first one), for which the
// object still answers.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Korvanet_h.h"
#include "qmComObject.h"
#include "qmHttpBody.h"
#include "qmHttpSettings.h"
#include "qmHttpTransfer.h"

namespace korvanet {

// The public properties, in interface order.
struct qmHTTPDataRequestProperties {
  std::wstring sURL;
  std::wstring sData;
  VARIANT_BOOL bParallel = VARIANT_FALSE;
  std::wstring sIdent;
  std::wstring sRequestType;
  std::wstring sUser;
  std::wstring sPassword;
  short nAuthmode = 0;
  std::wstring sAccept;
  std::wstring sAcceptEncoding;
  std::wstring sHTTPVersion;
  long lErrorcode = 0;
  std::wstring sErrortext;
  std::wstring sResponse;
  long lResponseCode = 0;
  std::wstring sResponsestatus;
  long lTimeoutBase = 0;
  long lTimeoutperKB = 0;
  std::wstring sHeaders;
  std::wstring sProxyname;
  short nProxyPort = 0;
  short nProxyType = 0;
  short nProxyAuthmode = 0;
  std::wstring sProxyUser;
  std::wstring sProxyPassword;
  VARIANT_BOOL bTmp = VARIANT_FALSE;
  VARIANT_BOOL mbDone = VARIANT_FALSE;
  // _clsqmHTTPDataRequest2
  std::string vResponseBody;  // the bytes behind the read-only byte array
  std::wstring sResponseFile;
  // _clsqmHTTPDataRequest
  std::wstring sServerCertSha256;
  std::wstring sClientCertificate;
};

class clsqmHTTPDataRequest final : public qmComObject<_clsqmHTTPDataRequest>,
                                   private qmHttpTransferSink {
 public:
  static HRESULT Create(REFIID iid, void** object);

  // _clsqmHTTPDataRequest1: the properties
  STDMETHODIMP get_sURL(BSTR* value) override;
  STDMETHODIMP put_sURL(BSTR value) override;
  STDMETHODIMP get_sData(BSTR* value) override;
  STDMETHODIMP put_sData(BSTR value) override;
  STDMETHODIMP get_bParallel(VARIANT_BOOL* value) override;
  STDMETHODIMP put_bParallel(VARIANT_BOOL value) override;
  STDMETHODIMP get_sIdent(BSTR* value) override;
  STDMETHODIMP put_sIdent(BSTR value) override;
  STDMETHODIMP get_sRequestType(BSTR* value) override;
  STDMETHODIMP put_sRequestType(BSTR value) override;
  STDMETHODIMP get_sUser(BSTR* value) override;
  STDMETHODIMP put_sUser(BSTR value) override;
  STDMETHODIMP get_sPassword(BSTR* value) override;
  STDMETHODIMP put_sPassword(BSTR value) override;
  STDMETHODIMP get_nAuthmode(short* value) override;
  STDMETHODIMP put_nAuthmode(short value) override;
  STDMETHODIMP get_sAccept(BSTR* value) override;
  STDMETHODIMP put_sAccept(BSTR value) override;
  STDMETHODIMP get_sAcceptEncoding(BSTR* value) override;
  STDMETHODIMP put_sAcceptEncoding(BSTR value) override;
  STDMETHODIMP get_sHTTPVersion(BSTR* value) override;
  STDMETHODIMP put_sHTTPVersion(BSTR value) override;
  STDMETHODIMP get_lErrorcode(long* value) override;
  STDMETHODIMP put_lErrorcode(long value) override;
  STDMETHODIMP get_sErrortext(BSTR* value) override;
  STDMETHODIMP put_sErrortext(BSTR value) override;
  STDMETHODIMP get_sResponse(BSTR* value) override;
  STDMETHODIMP put_sResponse(BSTR value) override;
  STDMETHODIMP get_lResponseCode(long* value) override;
  STDMETHODIMP put_lResponseCode(long value) override;
  STDMETHODIMP get_sResponsestatus(BSTR* value) override;
  STDMETHODIMP put_sResponsestatus(BSTR value) override;
  STDMETHODIMP get_lTimeoutBase(long* value) override;
  STDMETHODIMP put_lTimeoutBase(long value) override;
  STDMETHODIMP get_lTimeoutperKB(long* value) override;
  STDMETHODIMP put_lTimeoutperKB(long value) override;
  STDMETHODIMP get_sHeaders(BSTR* value) override;
  STDMETHODIMP put_sHeaders(BSTR value) override;
  STDMETHODIMP get_sProxyname(BSTR* value) override;
  STDMETHODIMP put_sProxyname(BSTR value) override;
  STDMETHODIMP get_nProxyPort(short* value) override;
  STDMETHODIMP put_nProxyPort(short value) override;
  STDMETHODIMP get_nProxyType(short* value) override;
  STDMETHODIMP put_nProxyType(short value) override;
  STDMETHODIMP get_nProxyAuthmode(short* value) override;
  STDMETHODIMP put_nProxyAuthmode(short value) override;
  STDMETHODIMP get_sProxyUser(BSTR* value) override;
  STDMETHODIMP put_sProxyUser(BSTR value) override;
  STDMETHODIMP get_sProxyPassword(BSTR* value) override;
  STDMETHODIMP put_sProxyPassword(BSTR value) override;
  STDMETHODIMP get_bTmp(VARIANT_BOOL* value) override;
  STDMETHODIMP put_bTmp(VARIANT_BOOL value) override;
  STDMETHODIMP get_mbDone(VARIANT_BOOL* value) override;
  STDMETHODIMP put_mbDone(VARIANT_BOOL value) override;

  // _clsqmHTTPDataRequest1: the methods
  STDMETHODIMP bAddHeader(BSTR* sHeadername, BSTR* sHeaderValue, VARIANT_BOOL* result) override;
  STDMETHODIMP bAddFormPostVar(BSTR* sName, BSTR* sValue, VARIANT* result) override;
  STDMETHODIMP mAddFormUploadVar(BSTR* sName, BSTR* sValue, BSTR sContentType, VARIANT* result) override;
  STDMETHODIMP gbGet(long lPort, VARIANT_BOOL* result) override;
  STDMETHODIMP msCStr(VARIANT* vnt, BSTR* result) override;
  STDMETHODIMP gbPost(long lPort, VARIANT_BOOL* result) override;
  STDMETHODIMP mSetRequestData() override;

  // _clsqmHTTPDataRequest2
  STDMETHODIMP get_vResponseBody(VARIANT* value) override;
  STDMETHODIMP get_sResponseFile(BSTR* value) override;
  STDMETHODIMP put_sResponseFile(BSTR value) override;

  // _clsqmHTTPDataRequest
  STDMETHODIMP gbSend(BSTR sMethod, VARIANT_BOOL* result) override;
  STDMETHODIMP get_sServerCertSha256(BSTR* value) override;
  STDMETHODIMP put_sServerCertSha256(BSTR value) override;
  STDMETHODIMP get_sClientCertificate(BSTR* value) override;
  STDMETHODIMP put_sClientCertificate(BSTR value) override;

  // The object behind a request interface when it is one of ours, else
  // null (a client may hand the job an object of its own). Borrowed.
  static clsqmHTTPDataRequest* From(_clsqmHTTPDataRequest* request);
  // True when sRequestType still holds the method gbSend set: a job then
  // runs the request with that method.
  // True while a transfer of this object runs (and holds a connection).
  bool TransferRunning() const { return mpTransfer != nullptr; }
  bool MethodSetBySend() const { return !mSendMethod.empty() && mSendMethod == mProps.sRequestType; }

 private:
  clsqmHTTPDataRequest();
  ~clsqmHTTPDataRequest() override;

  // Request preparation: checks the settings and takes them over for the
  // next start. Returns 0 or the Win32 error of a refused setting.
  DWORD Prepare();
  // Starts the prepared request; 0 or the error that kept it from starting.
  DWORD StartTransfer(const std::wstring& verb, double timeoutSeconds);
  // The sequential wait: messages are processed as they arrive until this
  // start's transfer completed, a later start (from a handler running inside
  // the wait) took the object over, or the deadline (a monotonic tick count)
  // passed. Returns the start's result; at the deadline stores the timeout state.
  VARIANT_BOOL WaitForCompletion(ULONGLONG deadline);
  // Prepares and starts the request, then waits in sequential mode. A
  // start that failed stores its error and gives False; in parallel mode
  // the answer is mbDone right after the start, and a start that has not
  // completed yet leaves the timeout state.
  VARIANT_BOOL StartAndWait(const std::wstring& verb, double timeoutSeconds, ULONGLONG deadline);
  // What every start does first: clears the results and abandons the
  // transfer of an earlier start.
  void ResetForStart();
  void StoreTimeoutState();
  void StoreFailure(DWORD error);
  void OnTransferDone(qmHttpResult& result) override;
  // gbPost and gbSend: the POST timeouts, and in parallel mode always False.
  HRESULT SendWithBody(VARIANT_BOOL* result);
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;

  qmHTTPDataRequestProperties mProps;
  std::vector<std::pair<std::wstring, std::wstring>> mHeaders;
  std::vector<qmFormField> mFormFields;
  std::vector<qmUploadField> mUploads;
  qmHttpSettings mPrepared;
  qmHttpThread* mpThread;                // one reference, or null
  // This object's sessions: its cookies and connections, shared with its
  // running transfer only.
  std::shared_ptr<qmHttpSessions> mpSessions;
  qmHttpTransfer* mpTransfer = nullptr;  // the running transfer, if any
  bool* mpbWaitingStart = nullptr;       // set when the waiting start's transfer completes
  std::wstring mSendMethod;              // the method gbSend last set
};

}  // namespace korvanet

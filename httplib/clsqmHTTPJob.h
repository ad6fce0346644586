// A batch of HTTP data requests run in parallel: the creatable class
// Korvanet.clsqmHTTPJob. bDoRequests starts every request in parallel mode
// and waits, processing messages, until all have completed or 30 seconds
// after the last start, raising Progress with the count of completed ones.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "Korvanet_h.h"
#include "clsqmCollection.h"
#include "qmComObject.h"

namespace korvanet {

class clsqmHTTPJob final : public qmComObject<_clsqmHTTPJob> {
 public:
  static HRESULT Create(REFIID iid, void** object);

  STDMETHODIMP get_gcolRequests(_clsqmCollection** result) override;
  STDMETHODIMP bAddRequest(_clsqmHTTPDataRequest** oReq, VARIANT_BOOL* result) override;
  STDMETHODIMP bDoRequests(VARIANT_BOOL* result) override;
  STDMETHODIMP get_lMaxConnectionsPerHost(long* value) override;
  STDMETHODIMP put_lMaxConnectionsPerHost(long value) override;

  // What a job allows against one host and port unless told otherwise.
  static constexpr long kDefaultConnectionsPerHost = 100;

 protected:
  // Script clients pass the request as a variant (by reference); the type
  // library cannot turn that into the interface pointer the method takes.
  HRESULT InvokeSpecial(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                        UINT* argError, bool& handled) override;

 private:
  clsqmHTTPJob();
  ~clsqmHTTPJob() override;

  using Requests = std::vector<ComPtr<_clsqmHTTPDataRequest>>;
  // Each distinct request object of the collection once, in collection order.
  HRESULT DistinctRequests(Requests& requests);
  // Starts one request as the job does: parallel, by its exact sRequestType.
  // started tells whether a transfer now runs (and holds a connection).
  HRESULT Start(_clsqmHTTPDataRequest* request, bool& started);
  // Queues the collection's requests for this run, in collection order.
  HRESULT StartAll();
  // Starts waiting requests while their host has room; true when one started.
  HRESULT StartWaiting(bool& startedAny);
  // Starts a request now when its host has room (busy counts the running
  // ones per host), else queues it behind the others of its host.
  HRESULT StartOrQueue(ComPtr<_clsqmHTTPDataRequest> request, const std::wstring& host,
                       std::unordered_map<std::wstring, long>& busy, bool& startedAny);
  // Starts a request and counts it among its host's running ones when a
  // transfer now runs.
  HRESULT StartCounted(ComPtr<_clsqmHTTPDataRequest> request, const std::wstring& host, long& running,
                       bool& startedAny);

  struct Queued {
    ComPtr<_clsqmHTTPDataRequest> request;
    std::wstring host;  // scheme, host and port; empty when the URL has none
  };
  void RaiseProgress(long completed);

  ComPtr<clsqmCollection> mpRequests;
  long mlWaitLimit = 0;  // seconds; 30 from the first run on
  long mlMaxConnectionsPerHost = kDefaultConnectionsPerHost;
  // This run's requests not started yet, per host in collection order
  // (they hold no session, no connection and no copy of their host
  // meanwhile), and those that run.
  std::unordered_map<std::wstring, std::deque<ComPtr<_clsqmHTTPDataRequest>>> mWaiting;
  std::vector<Queued> mRunning;
  bool mbRunning = false;  // inside bDoRequests
};

}  // namespace korvanet

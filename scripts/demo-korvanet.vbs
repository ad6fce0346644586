' The demo's Korvanet client, written as a script author writes one: a job
' of 50 GETs against a server that answers each after 300 ms, then the same
' 50 requests one after another through WinHttp.WinHttpRequest.5.1, the
' object a script has without Korvanet. Prints a few results and both times.
'   cscript //nologo demo-korvanet.vbs <url>
Option Explicit
Const COUNT = 50
Dim url, job, req, i, start, jobSeconds, seqSeconds, http, failed, shown
url = WScript.Arguments(0)
WScript.Echo "cscript runs as " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Set job = CreateObject("Korvanet.clsqmHTTPJob")
For i = 1 To COUNT
  Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
  req.sURL = url & "&n=" & i
  req.sRequestType = "GET"
  req.sIdent = "request " & i
  job.bAddRequest req
Next
start = Timer
If Not job.bDoRequests() Then WScript.Echo "bDoRequests: not every request completed"
jobSeconds = Timer - start

failed = 0
shown = 0
For Each req In job.gcolRequests
  If req.lResponseCode <> 200 Then failed = failed + 1
  If shown < 3 Or req.sIdent = "request " & COUNT Then
    WScript.Echo "  " & req.sIdent & ": " & req.lResponseCode & " " & req.sResponsestatus & ", """ & req.sResponse & """"
    shown = shown + 1
  ElseIf shown = 3 Then
    WScript.Echo "  ..."
    shown = shown + 1
  End If
Next
WScript.Echo "  failed: " & failed & " of " & job.gcolRequests.Count

start = Timer
For i = 1 To COUNT
  Set http = CreateObject("WinHttp.WinHttpRequest.5.1")
  http.Open "GET", url & "&n=" & i, False
  http.Send
Next
seqSeconds = Timer - start

WScript.Echo COUNT & " requests, each answered after 300 ms:"
' In milliseconds: Wine's Round ignores its digits argument.
WScript.Echo "  Korvanet job (in parallel):                      " & CLng(jobSeconds * 1000) & " ms"
WScript.Echo "  WinHttp.WinHttpRequest.5.1 (one after another):  " & CLng(seqSeconds * 1000) & " ms"

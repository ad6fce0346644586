' A client of one bitness creates and uses both classes: one GET on its own
' and one in a job. Prints its bitness, then VERDICT PASS or the failures.
Option Explicit
Dim port, failures, req, job
port = WScript.Arguments(0)
failures = ""
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Check(cond, what)
  If Not cond Then failures = failures & what & "; "
End Sub

On Error Resume Next
Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
Check Err.Number = 0, "CreateObject of the data request (" & Err.Number & ")"
Err.Clear
Set job = CreateObject("Korvanet.clsqmHTTPJob")
Check Err.Number = 0, "CreateObject of the job (" & Err.Number & ")"
Err.Clear
On Error Goto 0

If failures = "" Then
  req.sURL = "http://127.0.0.1:" & port & "/echo?alone"
  Check req.gbGet = True, "gbGet returns True"
  Check InStr(req.sResponse, "GET /echo?alone HTTP/1.1") = 1, "the response of the GET"
  Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
  req.sURL = "http://127.0.0.1:" & port & "/echo?injob"
  req.sRequestType = "GET"
  job.bAddRequest req
  Check job.bDoRequests() = True, "bDoRequests returns True"
  Check InStr(job.gcolRequests(1).sResponse, "GET /echo?injob HTTP/1.1") = 1, "the response in the job"
End If

If failures = "" Then
  WScript.Echo "VERDICT PASS"
Else
  WScript.Echo "VERDICT FAIL: " & failures
End If

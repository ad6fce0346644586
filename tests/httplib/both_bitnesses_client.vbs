' A client of one bitness creates and uses both classes: one GET on its own
' and one in a job. Prints its bitness, then VERDICT PASS or the failure
' (also when the classes cannot be created: the installer's tests expect it).
Option Explicit
Dim port, req, job
port = WScript.Arguments(0)
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Verdict(failure)
  If failure = "" Then WScript.Echo "VERDICT PASS" Else WScript.Echo "VERDICT FAIL: " & failure
  WScript.Quit
End Sub

On Error Resume Next
Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
Set job = CreateObject("Korvanet.clsqmHTTPJob")
If Err.Number <> 0 Then Verdict "CreateObject (" & Err.Number & ")"
On Error Goto 0

req.sURL = "http://127.0.0.1:" & port & "/echo?alone"
If Not req.gbGet Then Verdict "gbGet returns False"
If InStr(req.sResponse, "GET /echo?alone HTTP/1.1") <> 1 Then Verdict "the response of the GET"
Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
req.sURL = "http://127.0.0.1:" & port & "/echo?injob"
req.sRequestType = "GET"
job.bAddRequest req
If Not job.bDoRequests() Then Verdict "bDoRequests returns False"
If InStr(job.gcolRequests(1).sResponse, "GET /echo?injob HTTP/1.1") <> 1 Then Verdict "the response in the job"
Verdict ""

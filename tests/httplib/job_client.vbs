' A script client of Korvanet.clsqmHTTPJob: requests added by reference,
' the batch run, the collection walked with For Each. Prints VERDICT PASS or
' the failures.
Option Explicit
Dim port, base, failures, job, req, i, n, item, ok
port = WScript.Arguments(0)
base = "http://127.0.0.1:" & port
failures = ""
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Check(cond, what)
  If Not cond Then failures = failures & what & "; "
End Sub

Set job = CreateObject("Korvanet.clsqmHTTPJob")
Check job.bDoRequests = True, "an empty job is done"
For i = 1 To 3
  Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
  req.sURL = base & "/echo?n=" & i
  req.sRequestType = "GET"
  req.sIdent = "request " & i
  Check job.bAddRequest(req) = True, "bAddRequest " & i & " reports True"
Next
Check job.gcolRequests.Count = 3, "three requests in the collection"
Check job.gcolRequests(2).sIdent = "request 2", "default member Item"
Check job.gcolRequests.Item(3).sIdent = "request 3", "Item by position"

ok = job.bDoRequests()
Check ok = True, "bDoRequests returns True"
n = 0
For Each item In job.gcolRequests
  n = n + 1
  Check item.lResponseCode = 200, "request " & n & " status 200"
  Check InStr(item.sResponse, "GET /echo?n=" & n & " HTTP/1.1") = 1, "request " & n & " response"
  Check item.bParallel = True, "request " & n & " ran in parallel"
Next
Check n = 3, "For Each saw three requests"

job.gcolRequests.Remove 1
Check job.gcolRequests.Count = 2, "Remove"
job.gcolRequests.Add "text", "k1"
Check job.gcolRequests("k1") = "text", "Item by key"
On Error Resume Next
job.gcolRequests.Add "again", "K1"
Check Err.Number = 457, "a duplicate key is refused with 457 (" & Err.Number & ")"
Err.Clear
On Error Goto 0

If failures = "" Then
  WScript.Echo "VERDICT PASS"
Else
  WScript.Echo "VERDICT FAIL: " & failures
End If

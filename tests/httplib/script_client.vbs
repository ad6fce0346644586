' What only a script client shows: arguments passed by reference from
' variables, the Err object's fields, late-bound default members and For
' Each, Null and the VARIANT types a script sees. Everything else is checked
' from C++. Prints VERDICT PASS or the failures.
Option Explicit
Dim base, failures, req, job, hName, hValue, item, n, i
base = "http://127.0.0.1:" & WScript.Arguments(0)
failures = ""
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Check(cond, what)
  If Not cond Then failures = failures & what & "; "
End Sub

Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
Check VarType(req.vResponseBody) = vbArray + vbByte, "a new object holds a byte array"
req.sURL = base & "/text"
hName = "X-Var"
hValue = "from a variable"
Check req.bAddHeader(hName, hValue) = True, "bAddHeader with variables (passed by reference)"
Check hName = "X-Var" And hValue = "from a variable", "argument variables unchanged (" & hName & ")"
Check req.gbGet(0) = True, "gbGet returns True"
Check req.msCStr(Null) = "", "msCStr of Null"

' (The description is the system's message: checked from C++.)
On Error Resume Next
req.bAddHeader "X-Bad", "a" & vbCrLf & "b"
Check Err.Number = &H80070057, "a header with CR LF raises E_INVALIDARG (" & Hex(Err.Number) & ")"
Check Err.Source = "Korvanet.clsqmHTTPDataRequest", "error source is the ProgID (" & Err.Source & ")"
Err.Clear
On Error Goto 0

Set job = CreateObject("Korvanet.clsqmHTTPJob")
For i = 1 To 3
  Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
  req.sURL = base & "/echo?n=" & i
  req.sRequestType = "GET"
  req.sIdent = "request " & i
  Check job.bAddRequest(req) = True, "bAddRequest " & i & " of a variable"
Next
Check job.bDoRequests() = True, "bDoRequests returns True"
Check job.gcolRequests(2).sIdent = "request 2", "default member Item"
n = 0
For Each item In job.gcolRequests
  n = n + 1
  Check InStr(item.sResponse, "GET /echo?n=" & n & " HTTP/1.1") = 1, "request " & n & " response"
Next
Check n = 3, "For Each saw three requests"
' Item by key: from C++; a duplicate key's error number as a script sees it.
job.gcolRequests.Add "text", "k1"
On Error Resume Next
job.gcolRequests.Add "again", "K1"
Check Err.Number = 457, "a duplicate key is refused with 457 (" & Err.Number & ")"
Err.Clear
On Error Goto 0

If failures = "" Then WScript.Echo "VERDICT PASS" Else WScript.Echo "VERDICT FAIL: " & failures

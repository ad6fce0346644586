' A script client of Korvanet.clsqmHTTPDataRequest: properties, methods and
' the results of sequential requests. Prints VERDICT PASS or the failures.
Option Explicit
Dim port, base, failures, req, ok, r, e
port = WScript.Arguments(0)
base = "http://127.0.0.1:" & port
failures = ""
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Check(cond, what)
  If Not cond Then failures = failures & what & "; "
End Sub

Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
Check req.sURL = "", "new object has empty sURL"
Check req.lTimeoutBase = 0, "new object has lTimeoutBase 0"
Check req.mbDone = False, "new object is not done"

req.sURL = base & "/echo"
req.sIdent = "first"
Check req.bAddHeader("X-Script", "vbs") = True, "bAddHeader reports True"
Check req.bAddFormPostVar("q", "a b") = True, "bAddFormPostVar reports True"
Dim hName, hValue
hName = "X-Var"
hValue = "from a variable"
Check req.bAddHeader(hName, hValue) = True, "bAddHeader with variables (passed by reference)"
ok = req.gbGet
Check ok = True, "gbGet returns True"
Check req.lResponseCode = 200, "status 200"
Check req.sResponsestatus = "OK", "status text OK"
Check InStr(req.sResponse, "GET /echo?q=a+b HTTP/1.1") = 1, "query from the form field"
Check InStr(req.sResponse, "X-Script: vbs") > 0, "header sent"
Check InStr(req.sResponse, "X-Var: from a variable") > 0, "header from variables sent"
Check hName = "X-Var", "argument variable unchanged (" & hName & ")"
Check Left(req.sHeaders, 15) = "HTTP/1.1 200 OK", "headers start with the status line"
Check req.lTimeoutBase = 30, "GET stores timeout 30"
Check req.sIdent = "first", "sIdent kept"
Check req.mbDone = True, "done after sequential GET"

Set r = CreateObject("Korvanet.clsqmHTTPDataRequest")
r.sURL = base & "/echo"
r.sRequestType = "PUT"
r.sData = "payload"
ok = r.gbPost()
Check ok = True, "gbPost returns True"
Check InStr(r.sResponse, "PUT /echo HTTP/1.1") = 1, "PUT sent"
Check Right(r.sResponse, 7) = "payload", "body sent"
Check r.lTimeoutperKB = 10, "POST stores per-KB timeout 10"

Check req.msCStr(12) = "12", "msCStr of 12"
Check req.msCStr(Empty) = "", "msCStr of Empty"
Check req.msCStr(Null) = "", "msCStr of Null"
Check req.msCStr(req) = "", "msCStr of an object"

On Error Resume Next
ok = req.bAddHeader("X-Bad", "a" & vbCrLf & "b")
e = Err.Number
Check e <> 0, "a header with CR LF raises an error"
Check Err.Source = "Korvanet.clsqmHTTPDataRequest", "error source is the ProgID (" & Err.Source & ")"
Check Len(Err.Description) > 0, "error has a description"
Err.Clear
On Error Goto 0

r.sURL = base & "/status?code=503"
ok = r.gbGet(0)
Check r.lResponseCode = 503, "status 503"

If failures = "" Then
  WScript.Echo "VERDICT PASS"
Else
  WScript.Echo "VERDICT FAIL: " & failures
End If

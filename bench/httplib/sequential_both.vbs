' The loop scripts write: a new object for every GET, one after another,
' first with Korvanet, then with the platform's WinHttp.WinHttpRequest.5.1,
' against the same URL under the same proxy settings of the user.
' Prints "KORVANET_SECONDS <elapsed>" and "WINHTTP_SECONDS <elapsed>".
Option Explicit
Dim url, count, req, http, i, start, failed
url = WScript.Arguments(0)
count = CLng(WScript.Arguments(1))
failed = 0
start = Timer
For i = 1 To count
  Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
  req.sURL = url
  If Not req.gbGet() Then failed = failed + 1
Next
WScript.Echo "KORVANET_SECONDS " & Replace(CStr(Timer - start), ",", ".")
start = Timer
For i = 1 To count
  Set http = CreateObject("WinHttp.WinHttpRequest.5.1")
  http.Open "GET", url, False
  http.Send
  If http.Status <> 200 Then failed = failed + 1
Next
WScript.Echo "WINHTTP_SECONDS " & Replace(CStr(Timer - start), ",", ".")
If failed > 0 Then WScript.Echo "failed: " & failed

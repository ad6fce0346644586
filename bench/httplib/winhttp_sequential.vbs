' The baseline a script author has without Korvanet: the same 100 requests
' one after another through the platform's WinHttp.WinHttpRequest.5.1.
' Prints "WINHTTP_SECONDS <elapsed>".
Option Explicit
Dim url, http, i, start, failed
url = WScript.Arguments(0)
failed = 0
start = Timer
For i = 1 To 100
  Set http = CreateObject("WinHttp.WinHttpRequest.5.1")
  http.Open "GET", url, False
  http.Send
  If http.Status <> 200 Then failed = failed + 1
Next
WScript.Echo "WINHTTP_SECONDS " & Replace(CStr(Timer - start), ",", ".")
If failed > 0 Then WScript.Echo "failed: " & failed

' A script client of HTTPS: a GET of the TLS origin directly and through
' the named test proxy's tunnel. "trusted": both answer 200 with the body;
' "untrusted": both fail on the certificate. Prints VERDICT PASS or the failures.
'   cscript trusted_https_client.vbs <http port> <https port> <proxy port> trusted|untrusted
Option Explicit
Dim httpPort, httpsPort, proxyPort, mode, failures, tunnels
httpPort = WScript.Arguments(0)
httpsPort = WScript.Arguments(1)
proxyPort = WScript.Arguments(2)
mode = WScript.Arguments(3)
failures = ""
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Check(cond, what)
  If Not cond Then failures = failures & what & "; "
End Sub

' How many tunnels the proxy has opened so far.
Function TunnelCount()
  Dim counter
  Set counter = CreateObject("Korvanet.clsqmHTTPDataRequest")
  counter.sURL = "http://127.0.0.1:" & httpPort & "/tunnels"
  counter.nProxyType = 1
  counter.gbGet
  TunnelCount = CLng(counter.sResponse)
End Function

Sub Fetch(viaProxy)
  Dim req, what
  Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
  req.sURL = "https://127.0.0.1:" & httpsPort & "/peer"
  what = "direct"
  If viaProxy Then
    ' The proxy's name differs from the target's, so the engine opens a tunnel.
    req.nProxyType = 2
    req.sProxyname = "localhost"
    ' An Integer property: ports above 32767 go in as their 16-bit pattern.
    If CLng(proxyPort) > 32767 Then
      req.nProxyPort = CInt(CLng(proxyPort) - 65536)
    Else
      req.nProxyPort = CInt(proxyPort)
    End If
    what = "through the proxy"
  End If
  Check req.gbGet = True, what & ": gbGet returns True"
  WScript.Echo what & ": " & req.lErrorcode & " " & req.lResponseCode & " " & req.sResponse
  If mode = "trusted" Then
    Check req.lErrorcode = 0, what & ": no error (" & req.sErrortext & ")"
    Check req.lResponseCode = 200, what & ": status 200"
    Check IsNumeric(req.sResponse) And Len(req.sResponse) > 0, what & ": the body (the client's port)"
  Else
    Check req.lErrorcode = 12175 Or req.lErrorcode = 12157, what & ": certificate refused (" & req.lErrorcode & ")"
    Check req.lResponseCode = 0, what & ": no status"
    Check req.sResponse = "", what & ": no body"
  End If
End Sub

Fetch False
tunnels = TunnelCount()
Fetch True
Check TunnelCount() = tunnels + 1, "the proxy opened one tunnel"

If failures = "" Then
  WScript.Echo "VERDICT PASS"
Else
  WScript.Echo "VERDICT FAIL: " & failures
End If

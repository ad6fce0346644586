' A script client downloading with Korvanet.clsqmHTTPDataRequest: the body
' as a byte array and straight into a file. Prints VERDICT PASS or the failures.
Option Explicit
Dim port, base, failures, fso, folder, target, req, body, ok, all, i
port = WScript.Arguments(0)
base = "http://127.0.0.1:" & port
failures = ""
WScript.Echo "ARCH " & CreateObject("WScript.Shell").Environment("PROCESS")("PROCESSOR_ARCHITECTURE")

Sub Check(cond, what)
  If Not cond Then failures = failures & what & "; "
End Sub

Set fso = CreateObject("Scripting.FileSystemObject")
folder = fso.BuildPath(fso.GetSpecialFolder(2), "korvanet download " & fso.GetTempName())
fso.CreateFolder folder
target = fso.BuildPath(folder, "all values.bin")
all = ""
For i = 0 To 255
  all = all & Right("0" & Hex(i), 2)
Next

Set req = CreateObject("Korvanet.clsqmHTTPDataRequest")
Check VarType(req.vResponseBody) = vbArray + vbByte, "a new object holds a byte array"
req.sURL = base & "/bytes?type=application/octet-stream&hex=" & all
Check req.gbGet() = True, "gbGet returns True"
body = req.vResponseBody
Check VarType(body) = vbArray + vbByte, "vResponseBody is a byte array (" & VarType(body) & ")"

req.sResponseFile = target
Check req.sResponseFile = target, "sResponseFile keeps its value"
ok = req.gbGet()
Check ok = True, "the download completes"
Check req.lErrorcode = 0, "no error (" & req.sErrortext & ")"
Check fso.FileExists(target), "the file is there"
If fso.FileExists(target) Then Check fso.GetFile(target).Size = 256, "256 bytes in the file"
Check req.sResponse = "", "sResponse stays empty"
Check fso.GetFolder(folder).Files.Count = 1, "no part file left"

' A text resource downloaded reads back as it was sent.
req.sURL = base & "/bytes?type=text/plain&hex=48656c6c6f2c2066696c650d0a"
ok = req.gbGet()
Check fso.OpenTextFile(target).ReadAll() = "Hello, file" & vbCrLf, "the file holds the new body"

' A folder that does not exist: the system's error, and nothing sent.
req.sResponseFile = fso.BuildPath(folder, "missing\x.bin")
ok = req.gbGet()
Check ok = False, "gbGet returns False for a missing folder"
Check req.lErrorcode = 3, "error 3 for a missing folder (" & req.lErrorcode & ")"
Check Len(req.sErrortext) > 0, "an error text"

fso.DeleteFolder folder, True

If failures = "" Then
  WScript.Echo "VERDICT PASS"
Else
  WScript.Echo "VERDICT FAIL: " & failures
End If

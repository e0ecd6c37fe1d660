' Downloader from VBScript: downloads from the HTTP server on 127.0.0.1 that the
' harness runs, waited for by polling Busy, saved as binary and as text (the
' harness compares the saved files), a missing file and a refused connection.
'   cscript //nologo downloader.vbs OUT-FOLDER HTTP-PORT
Option Explicit
Dim passed, failed
passed = 0
failed = 0
Sub Check(name, ok)
  If ok Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAILED: " & name
  End If
End Sub

' Wine's cscript has no WScript.Sleep and no events: a script waits by asking.
Function Settled(d, seconds)
  Dim started
  started = Timer
  Do While d.Busy
    If Timer - started > seconds Or Timer < started Then
      Settled = False
      Exit Function
    End If
  Loop
  Settled = True
End Function

Dim out, port, d
out = WScript.Arguments(0)
port = CLng(WScript.Arguments(1))
Set d = CreateObject("Quillon.Downloader")
Check "Online", d.Online = True
Check "ProxyConnection", d.ProxyConnection = False
d.Port = port

Check "RequestFile of a binary file", d.RequestFile("127.0.0.1", "/blob.bin") = 0
Check "it ends within 30 s", Settled(d, 30)
Check "ServerCode (" & d.ServerCode & ")", d.ServerCode = 200
Check "CurSize (" & d.CurSize & ")", d.CurSize = 300000
Check "ServerHeader", InStr(d.ServerHeader, "200") > 0
Check "ErrorString (" & d.ErrorString & ")", d.ErrorString = ""
Check "WriteBinaryFile", d.WriteBinaryFile(out & "\blob.bin", True) = 0
Check "WriteBinaryFile refuses to replace", d.WriteBinaryFile(out & "\blob.bin", False) <> 0

Check "RequestFile of a text file", d.RequestFile("127.0.0.1", "/notes.txt") = 0
Check "it ends", Settled(d, 30)
Check "CurFileAsString", Left(d.CurFileAsString, 10) = "first line"
Check "WriteTextFile", d.WriteTextFile(out & "\notes.txt", True) = 0

Check "RequestFile of a missing file", d.RequestFile("127.0.0.1", "/missing") = 0
Check "it ends", Settled(d, 30)
Check "ServerCode of a missing file (" & d.ServerCode & ")", d.ServerCode = 404

d.Port = 1
Dim refused
refused = d.RequestFile("127.0.0.1", "/blob.bin")
Check "a refused connection fails the request (" & refused & ")", refused <> 0
Check "and says why", d.ErrorString <> ""
Check "nothing is left running", Settled(d, 30)
d.DisconnectNetwork

Set d = Nothing
WScript.Echo passed & " passed, " & failed & " failed"

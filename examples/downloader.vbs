' Downloader from VBScript: one file over HTTP, waited for by polling Busy
' (Wine's cscript has neither events nor WScript.Sleep), then saved.
'   cscript //nologo examples\downloader.vbs 127.0.0.1 8000 /notes.txt C:\temp\notes.txt
Option Explicit
Dim d, started
Set d = CreateObject("Quillon.Downloader")
d.Port = CLng(WScript.Arguments(1))
If d.RequestFile(WScript.Arguments(0), WScript.Arguments(2)) <> 0 Then
  WScript.Echo "request failed: " & d.ErrorString
  WScript.Quit 1
End If
started = Timer
Do While d.Busy
  If Timer - started > 60 Then
    d.DisconnectNetwork
    WScript.Echo "no answer within 60 seconds"
    WScript.Quit 1
  End If
Loop
WScript.Echo d.ServerCode & " - " & d.CurSize & " bytes"
If d.WriteBinaryFile(WScript.Arguments(3), True) <> 0 Then WScript.Echo "cannot save: " & d.ErrorString

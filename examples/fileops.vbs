' FileOps from VBScript: a store written to a file, read back as bytes, and
' the file gzipped.   cscript //nologo examples\fileops.vbs C:\some\folder
Option Explicit
Dim fo, folder, path, tail
folder = WScript.Arguments(0)
path = folder & "\record.bin"
Set fo = CreateObject("Quillon.FileOps")
fo.StoreString "text", "Hello, file"
fo.StoreBytes "number", fo.LongToBytes(1000)   ' 4 bytes, little-endian
fo.OpenFile path                                ' created when missing
fo.FileWrite 1, "text"                          ' positions count from 1
fo.FileWrite 0, "number"                        ' 0 appends
WScript.Echo "wrote " & fo.FileSize & " bytes"
fo.FileRead fo.FileSize - 3, 4, "tail"
fo.GetBytes "tail", 1, 4, tail                  ' the array comes back in tail
WScript.Echo "number at the end: " & fo.BytesToLong(tail)
fo.CloseFile
If fo.GZipFile(path, path & ".gz") <> 0 Then WScript.Echo "gzip failed: " & fo.ErrorString
' Failures set ErrorNumber and ErrorString; a few raise run-time errors.
On Error Resume Next
fo.OpenFile Null
WScript.Echo "error " & Err.Number & " from " & Err.Source & ": " & Err.Description

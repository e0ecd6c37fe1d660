' FileOps from VBScript through the COM server: every member by name, stores,
' arrays both ways, by-reference results, compression and the errors a script sees.
'   cscript //nologo fileops.vbs SCRATCH-FOLDER
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

Dim folder, path, fo, tail, back, built, number, dest
folder = WScript.Arguments(0)
path = folder & "\data.bin"
Set fo = CreateObject("Quillon.FileOps")

' Stores, a file, and bytes read back by reference.
Check "StoreString", fo.StoreString("text", "Hello, file") = 0
Check "StoreExists", fo.StoreExists("text") = True
Check "GetStoreSize", fo.GetStoreSize("text") = 11
Check "StoreBytes takes LongToBytes' array", fo.StoreBytes("number", fo.LongToBytes(1000)) = 0
Check "OpenFile", fo.OpenFile(path) = 0
Check "FileWrite", fo.FileWrite(1, "text") = 0
Check "FileWrite at 0 appends", fo.FileWrite(0, "number") = 0
Check "FileSize", fo.FileSize = 15
Check "FileRead", fo.FileRead(12, 4, "tail") = 0
Check "GetBytes", fo.GetBytes("tail", 1, 4, tail) = 0
Check "GetBytes writes an array into its argument", IsArray(tail)
Check "of four bytes", UBound(tail) - LBound(tail) = 3
Check "BytesToLong of it", fo.BytesToLong(tail) = 1000
fo.CloseFile
Check "FileSize after CloseFile", fo.FileSize = 0

' Arrays the script builds go in; arrays come out.
built = Array(72, 105, 33)
Check "StoreBytes of a script array", fo.StoreBytes("built", built) = 0
Check "ReplaceBytes", fo.ReplaceBytes("built", 2, Array(73)) = 0
Check "GetBytes of three", fo.GetBytes("built", 1, 3, back) = 0
Check "the bytes came back", back(0) = 72 And back(1) = 73 And back(2) = 33
number = fo.LongToBytes(&H01020304)
Check "LongToBytes is little-endian", number(0) = 4 And number(1) = 3 And number(2) = 2 And number(3) = 1
Check "BytesToLong of a negative", fo.BytesToLong(Array(254, 255, 255, 255)) = -2
Check "CopyBytes", fo.CopyBytes("text", 2, 2, "built", 1) = 0
Check "CopyBytes copied", fo.GetBytes("built", 1, 3, back) = 0
Check "what it copied", back(0) = 101 And back(1) = 108 And back(2) = 33
fo.DeleteStore "number"
Check "DeleteStore", fo.StoreExists("number") = False

' Compression of stores and files.
Check "StoreString of 200", fo.StoreString("z", String(200, "q")) = 0
Check "Zip", fo.Zip("z") = 0
Check "Zip shrank it", fo.GetStoreSize("z") < 200
Check "Unzip", fo.Unzip("z", 200) = 0
Check "Unzip restored it", fo.GetStoreSize("z") = 200
Check "GZipFile", fo.GZipFile(path, path & ".gz") = 0
Check "GUnZipFile to an exact path", fo.GUnZipFile(path & ".gz", folder & "\exact.bin", True) = 0
Check "OpenFile of it", fo.OpenFile(folder & "\exact.bin") = 0
Check "it is whole", fo.FileSize = 15
fo.CloseFile
dest = folder & "\other.bin"
Check "GUnZipFile to the stored name", fo.GUnZipFile(path & ".gz", dest, False) = 0
Check "writes the path it chose into its argument", LCase(dest) = LCase(folder & "\data.bin")
fo.DeleteFile folder & "\exact.bin"
Check "DeleteFile", fo.OpenFile(folder & "\exact.bin") = 0 And fo.FileSize = 0
fo.CloseFile
fo.DeleteFile folder & "\exact.bin"

' Failures a member reports in ErrorNumber and ErrorString.
fo.ClearError
Check "GetStoreSize of no store fails", IsEmpty(fo.GetStoreSize("no such store"))
Check "ErrorNumber", fo.ErrorNumber <> 0
Check "ErrorString", fo.ErrorString <> ""
fo.ClearError
Check "ClearError", fo.ErrorNumber = 0 And fo.ErrorString = ""
fo.ClearStorage
Check "ClearStorage", fo.StoreExists("text") = False

' Failures that reach the script as run-time errors.
On Error Resume Next
Err.Clear
fo.OpenFile Null
Check "a run-time error's number (" & Err.Number & ")", Err.Number = 94
Check "its description (" & Err.Description & ")", Err.Description = "Invalid use of Null"
Check "its source (" & Err.Source & ")", Err.Source = "Quillon"
Err.Clear
fo.StoreString "only one argument"
Check "too few arguments (" & Err.Number & ")", Err.Number = 450
Err.Clear
fo.NoSuchMember 1
Check "an unknown member (" & Err.Number & ")", Err.Number = 438
Err.Clear
On Error GoTo 0

Set fo = Nothing
WScript.Echo passed & " passed, " & failed & " failed"

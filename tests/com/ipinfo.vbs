' IPInfo and Location from VBScript: a reverse lookup against the harness's DNS
' stub on 127.0.0.1 (the server is told of it in the prefix's registry) waited
' for by polling Busy, and locations from the sample city database.
'   cscript //nologo ipinfo.vbs GEOIPCITY.DAT-PATH
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

Function Settled(object, seconds)
  Dim started
  started = Timer
  Do While object.Busy
    If Timer - started > seconds Or Timer < started Then
      Settled = False
      Exit Function
    End If
  Loop
  Settled = True
End Function

Dim database, ip, place, again
database = WScript.Arguments(0)
Set ip = CreateObject("Quillon.IPInfo")

Check "EnableHostNameData", ip.EnableHostNameData() = 0
ip.TimeOut = 5000
ip.GetHostNameFromIP "192.0.2.1"
Check "a lookup ends within 10 s", Settled(ip, 10)
ip.GetHostNameFromIP "not an address"
Check "a malformed address ends at once", ip.Busy = False

Check "EnableLocationData of no file", ip.EnableLocationData(database & ".missing") = 2
Check "says why", ip.ErrorString <> ""
Check "EnableLocationData", ip.EnableLocationData(database) = 0
Set place = ip.GetLocationFromIP("192.0.2.70")
Check "a Location comes back", TypeName(place) = "_Location"
Check "Valid", place.Valid = True
Check "City (" & place.City & ")", place.City = "San Francisco"
Check "Country (" & place.Country & ")", place.Country = "United States"
Check "CountryCode", place.CountryCode = "US"
Check "Region (" & place.Region & ")", place.Region = "CA"
Check "ZipCode", place.ZipCode = "94105"
Check "AreaCode (" & place.AreaCode & ")", place.AreaCode = "415"
Set again = ip.GetLocationFromIP("203.0.113.70")
Check "the same Location every time", again Is place
Check "holding the last place found (" & place.City & ")", place.City = "Tokyo"
Check "an address the database lacks", ip.GetLocationFromIP("10.1.2.3").Valid = False

On Error Resume Next
Dim made
Set made = CreateObject("Quillon.Location")
Check "Location is not creatable (" & Err.Number & ")", Err.Number = 429
Err.Clear
On Error GoTo 0

Set place = Nothing
Set again = Nothing
Set ip = Nothing
WScript.Echo passed & " passed, " & failed & " failed"

' IPInfo from VBScript: a reverse lookup (its result arrives as the event
' OnHostNameResult, which a C++ or Windows script host client receives; here
' the script only waits for it to end) and a location from a city database.
'   cscript //nologo examples\ipinfo.vbs 192.0.2.70 C:\quillon\share\quillon\GEOIPCITY.DAT
Option Explicit
Dim ip, place, started
Set ip = CreateObject("Quillon.IPInfo")
If ip.EnableHostNameData() = 0 Then
  ip.TimeOut = 3000
  ip.GetHostNameFromIP WScript.Arguments(0)
  started = Timer
  Do While ip.Busy And Timer - started < 10
  Loop
End If
If ip.EnableLocationData(WScript.Arguments(1)) <> 0 Then
  WScript.Echo "no location data: " & ip.ErrorString
  WScript.Quit 1
End If
Set place = ip.GetLocationFromIP(WScript.Arguments(0))
If place.Valid Then
  WScript.Echo place.City & ", " & place.Region & ", " & place.Country & " (" & place.CountryCode & ") " & place.ZipCode
Else
  WScript.Echo "not in the database"
End If

// IPInfo and Location from JScript: what JScript does differently from the
// VBScript script: a Location as a JScript object whose properties are
// JScript values, the same object every time, and Location not creatable as
// an exception.
//   cscript //nologo ipinfo.js GEOIPCITY.DAT-PATH
var passed = 0, failed = 0;
function check(name, ok) {
  if (ok) { passed++; } else { failed++; WScript.Echo("FAILED: " + name); }
}

var ip = new ActiveXObject("Quillon.IPInfo");
check("EnableHostNameData", ip.EnableHostNameData() === 0);
ip.TimeOut = 5000;
ip.GetHostNameFromIP("192.0.2.1");
var started = new Date().getTime();
while (ip.Busy && new Date().getTime() - started < 10000) {}
check("a lookup ends within 10 s", ip.Busy === false);

check("EnableLocationData", ip.EnableLocationData(WScript.Arguments(0)) === 0);
var place = ip.GetLocationFromIP("192.0.2.70");
check("a Location is an object", typeof place === "object" && place !== null);
check("Valid is a JScript boolean", place.Valid === true);
check("City (" + place.City + ")", place.City === "San Francisco");
check("AreaCode is a string", typeof place.AreaCode === "string");
var again = ip.GetLocationFromIP("203.0.113.70");
check("the same Location every time", again === place && place.City === "Tokyo");
check("an address the database lacks", ip.GetLocationFromIP("10.1.2.3").Valid === false);
try {
  new ActiveXObject("Quillon.Location");
  check("Location is not creatable", false);
} catch (e) {
  check("Location is not creatable (" + (e.number & 0xFFFF) + ")", (e.number & 0xFFFF) === 429);
}
place = again = ip = null;
CollectGarbage();
WScript.Echo(passed + " passed, " + failed + " failed");

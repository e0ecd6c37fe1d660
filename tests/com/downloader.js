// Downloader from JScript: what JScript does differently from the VBScript
// script: Busy and Online as JScript booleans, a download saved as text (the
// harness compares it), and failures as exceptions: reading the write-only
// Port, an unknown member.
//   cscript //nologo downloader.js OUT-FOLDER HTTP-PORT
var passed = 0, failed = 0;
function check(name, ok) {
  if (ok) { passed++; } else { failed++; WScript.Echo("FAILED: " + name); }
}
// Wine's cscript has no WScript.Sleep: a script waits by asking.
function settled(d, seconds) {
  var started = new Date().getTime();
  while (d.Busy) {
    if (new Date().getTime() - started > seconds * 1000) return false;
  }
  return true;
}

var out = WScript.Arguments(0);
var d = new ActiveXObject("Quillon.Downloader");
check("Online is a JScript boolean", d.Online === true);
check("Busy is false before a request", d.Busy === false);
d.Port = parseInt(WScript.Arguments(1), 10);
check("RequestFile", d.RequestFile("127.0.0.1", "/notes.txt") === 0);
check("it ends within 30 s", settled(d, 30));
check("ServerCode (" + d.ServerCode + ")", d.ServerCode === 200);
check("CurFileAsString is a JScript string", typeof d.CurFileAsString === "string" &&
      d.CurFileAsString.indexOf("second line") > 0);
check("WriteTextFile", d.WriteTextFile(out + "\\notes.txt", true) === 0);
check("WriteTextFile refuses to replace", d.WriteTextFile(out + "\\notes.txt", false) !== 0);
try {
  var port = d.Port;
  check("reading the write-only Port raises", false);
} catch (e) {
  check("reading the write-only Port raises (" + (e.number >>> 0).toString(16) + ")", e.number !== 0);
}
try {
  d.NoSuchMember();
  check("an unknown member raises", false);
} catch (e) {
  check("an unknown member raises (" + (e.number & 0xFFFF) + ")", (e.number & 0xFFFF) === 438);
}
d.DisconnectNetwork();
d = null;
CollectGarbage();
WScript.Echo(passed + " passed, " + failed + " failed");

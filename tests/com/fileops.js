// FileOps from JScript: arrays in (a JScript array) and out (a VBArray), the
// result written into a by-reference argument a JScript caller cannot see,
// and an error as a JScript exception.
//   cscript //nologo fileops.js SCRATCH-FOLDER
var passed = 0, failed = 0;
function check(name, ok) {
  if (ok) { passed++; } else { failed++; WScript.Echo("FAILED: " + name); }
}

var folder = WScript.Arguments(0);
var fo = new ActiveXObject("Quillon.FileOps");

check("StoreBytes of a JScript array", fo.StoreBytes("a", [10, 20, 30, 255]) === 0);
check("GetStoreSize", fo.GetStoreSize("a") === 4);
var number = new VBArray(fo.LongToBytes(0x01020304)).toArray();
check("LongToBytes as a VBArray", number.length === 4 && number[0] === 4 && number[3] === 1);
check("BytesToLong of a JScript array", fo.BytesToLong([4, 3, 2, 1]) === 0x01020304);
check("StoreString", fo.StoreString("s", "JScript") === 0);
check("OpenFile", fo.OpenFile(folder + "\\js.bin") === 0);
check("FileWrite", fo.FileWrite(1, "s") === 0);
check("FileSize", fo.FileSize === 7);
fo.CloseFile();
check("GZipFile", fo.GZipFile(folder + "\\js.bin", folder + "\\js.bin.gz") === 0);
check("Zip", fo.Zip("s") === 0);
check("Unzip", fo.Unzip("s", 7) === 0 && fo.GetStoreSize("s") === 7);
check("a failure sets ErrorNumber", fo.GetStoreSize("none") === undefined && fo.ErrorNumber !== 0);
fo.ClearError();
try {
  fo.OpenFile(null);
  check("OpenFile(null) raises", false);
} catch (e) {
  check("the error's number (" + (e.number & 0xFFFF) + ")", (e.number & 0xFFFF) === 94);
  check("its description (" + e.description + ")", e.description === "Invalid use of Null");
}
try {
  fo.StoreString("one argument");
  check("too few arguments raise", false);
} catch (e) {
  check("too few arguments (" + (e.number >>> 0).toString(16) + ")", (e.number >>> 0) === 0x8002000E);
}
fo.DeleteFile(folder + "\\js.bin");
fo.DeleteFile(folder + "\\js.bin.gz");
fo = null;
CollectGarbage();
WScript.Echo(passed + " passed, " + failed + " failed");

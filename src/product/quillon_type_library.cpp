// The product's type library: its classes, interfaces, members in interface
// order, DISPIDs, parameter names and help strings. This is the one place that
// states them; the classes, the front ends, the command line and the clients
// read them here.
#include "product/quillon_product.h"

namespace quillon {
namespace {

using K = MemberKind;
constexpr ResultKind kNone = ResultKind::kNone;
constexpr ResultKind kVar = ResultKind::kVariant;

InterfaceInfo DownloaderInterface() {
  return {"_Downloader", "{0D1E9EBA-7BB1-4176-A23D-2449AF86BF06}", {
      {"Busy", 0x68030008, K::kPropertyGet, {}, kVar, ""},
      {"Port", 0x68030007, K::kPropertyPut, {"PortNumber"}, kNone,
       "Port number. Defaults to 80. Write-only."},
      {"Online", 0x68030006, K::kPropertyGet, {}, kVar, "Boolean. Is system online? Read-only."},
      {"ProxyConnection", 0x68030005, K::kPropertyGet, {}, kVar,
       "Boolean. Is connection through a proxy? Read-only."},
      {"CurSize", 0x68030004, K::kPropertyGet, {}, kVar, "Size in bytes of currently downloaded file."},
      {"CurFileAsString", 0x68030003, K::kPropertyGet, {}, kVar,
       "Returns currently downloaded file as string."},
      {"ServerHeader", 0x68030002, K::kPropertyGet, {}, kVar,
       "Returns server response strings that are received before the actual file."},
      {"ServerCode", 0x68030001, K::kPropertyGet, {}, kVar,
       "Returns server response code for download request. Ex. 200=OK. 404=File Not Found."},
      {"ErrorString", 0x68030000, K::kPropertyGet, {}, kVar, ""},
      {"DisconnectNetwork", 0x60030009, K::kMethod, {}, kNone, ""},
      {"RequestFile", 0x6003000A, K::kMethod, {"Server", "FilePath"}, kVar,
       "Contacts server and requests file. This is NOT the same as reception of the file."},
      {"WriteTextFile", 0x6003000B, K::kMethod, {"sPath", "IfDelete"}, kVar,
       "Same as WriteBinaryFile, but first converts byte data to string and fixes any non-Windows "
       "carriage returns."},
      {"WriteBinaryFile", 0x6003000C, K::kMethod, {"sPath", "IfDelete"}, kVar, "Writes current file to disk."},
  }};
}

InterfaceInfo DownloaderEvents() {
  return {"__Downloader", "{1446FF00-575C-4CD3-9369-26B2E0CC948A}", {
      {"OnConnect", 1, K::kEvent, {"ServerURL"}, kNone,
       "Occurs when connection has been successfully made to server."},
      {"OnDownloadFinish", 2, K::kEvent, {"ResponseCode", "ResponseString"}, kNone,
       "Occurs when a file download attempt is finished - whether it was successful or not."},
      {"OnDisconnect", 3, K::kEvent, {}, kNone, "Occurs when server connection is broken."},
  }};
}

InterfaceInfo IPInfoInterface() {
  return {"_IPInfo", "{3403F200-79F6-4827-A165-034B191FA79C}", {
      {"ErrorString", 0x68030002, K::kPropertyGet, {}, kVar, "Returns error info."},
      {"TimeOut", 0x68030001, K::kPropertyPut, {"value"}, kNone,
       "Sets length of time (in ms) before a host name request to remote server will time out and be "
       "abandoned."},
      {"Busy", 0x68030000, K::kPropertyGet, {}, kVar,
       "Boolean property designed as a device to keep a  VBScript running while it waits for host name "
       "resolution."},
      {"EnableHostNameData", 0x60030003, K::kMethod, {}, kVar,
       "Initializes winsock. Necessary before calling GetHostNameFromIP"},
      {"GetHostNameFromIP", 0x60030004, K::kMethod, {"vIP"}, kNone,
       "Attempts to return the human readable host name from an IPv4 IP address."},
      {"EnableLocationData", 0x60030005, K::kMethod, {"vDBPath"}, kVar,
       "Loads GeoIPComEx.dll from MaxMind and points it to the database."},
      {"GetLocationFromIP", 0x60030006, K::kMethod, {"vIP"}, ResultKind::kObject,
       "Attempts to find thegeographical  location  of an IP address.", "Location"},
  }};
}

InterfaceInfo IPInfoEvents() {
  return {"__IPInfo", "{6153D759-A12F-45C3-B1DB-145BBC5478B0}", {
      {"OnHostNameResult", 1, K::kEvent, {"vIP", "vHost", "vErr"}, kNone,
       "Event occurs when host name request either returns or times out."},
  }};
}

InterfaceInfo LocationInterface() {
  return {"_Location", "{ED32233B-F888-47F6-B717-4A0361593B9A}", {
      {"Valid", 0x68030006, K::kPropertyGet, {}, kVar,
       "Does the Location object contain data? Was call to GetLocationFromIP successful?"},
      {"Country", 0x68030005, K::kPropertyGet, {}, kVar, ""},
      {"CountryCode", 0x68030004, K::kPropertyGet, {}, kVar, ""},
      {"Region", 0x68030003, K::kPropertyGet, {}, kVar, ""},
      {"City", 0x68030002, K::kPropertyGet, {}, kVar, ""},
      {"ZipCode", 0x68030001, K::kPropertyGet, {}, kVar, ""},
      {"AreaCode", 0x68030000, K::kPropertyGet, {}, kVar, ""},
  }};
}

InterfaceInfo FileOpsInterface() {
  return {"_FileOps", "{84AA072E-574C-41A8-85E5-B8C2AF8C2D0B}", {
      {"OpenFile", 0x60030003, K::kMethod, {"Path"}, kVar,
       "Opens a file for read/write. File is created if not already existing."},
      {"FileSize", 0x68030002, K::kPropertyGet, {}, kVar, "Returns size of current file. 0 if no file open."},
      {"FileRead", 0x60030004, K::kMethod, {"Start", "Length", "ID"}, kVar,
       "Reads specified number of bytes from open file."},
      {"FileWrite", 0x60030005, K::kMethod, {"Start", "ID"}, kVar, "Writes a store to open file."},
      {"GetBytes", 0x60030006, K::kMethod, {"ID", "Start", "Length", "BytesArray"}, kVar,
       "Returns an array of bytes from a store."},
      {"ReplaceBytes", 0x60030007, K::kMethod, {"ID", "Start", "BytesArray"}, kVar,
       "Replace specific bytes in a store."},
      {"StoreBytes", 0x60030008, K::kMethod, {"ID", "BytesArray"}, kVar,
       "Create a new store from an array of byte values."},
      {"StoreString", 0x60030009, K::kMethod, {"ID", "StringData"}, kVar, "Create a new store from a string."},
      {"CopyBytes", 0x6003000A, K::kMethod, {"IDFrom", "StartFrom", "LengthFrom", "IDTo", "StartTo"}, kVar,
       ""},
      {"DeleteStore", 0x60030017, K::kMethod, {"ID"}, kNone, ""},
      {"GetStoreSize", 0x6003000B, K::kMethod, {"ID"}, kVar, "Get size of store in bytes."},
      {"StoreExists", 0x6003000C, K::kMethod, {"ID"}, kVar, "Boolean. Does specified store exist?"},
      {"ClearStorage", 0x6003000D, K::kMethod, {}, kNone, "Clear all stores."},
      {"BytesToLong", 0x6003000E, K::kMethod, {"ArrayIn"}, kVar,
       "Convert an array of byte values to an Intel-format (little endian) long integer."},
      {"LongToBytes", 0x6003000F, K::kMethod, {"LongInt"}, kVar,
       "Returns an array of byte values for a long integer in little endian format."},
      {"CloseFile", 0x60030010, K::kMethod, {}, kNone, "Close current file."},
      {"DeleteFile", 0x60030011, K::kMethod, {"Path"}, kNone, ""},
      {"ErrorString", 0x68030001, K::kPropertyGet, {}, kVar, ""},
      {"ErrorNumber", 0x68030000, K::kPropertyGet, {}, kVar, ""},
      {"ClearError", 0x60030012, K::kMethod, {}, kNone, ""},
      {"Zip", 0x60030013, K::kMethod, {"ID"}, kVar, "compress a store using zlib  compression."},
      {"Unzip", 0x60030014, K::kMethod, {"ID", "OrigSize"}, kVar, "Uncompress a store that was zipped."},
      {"GZipFile", 0x60030015, K::kMethod, {"SrcPath", "DestinationZPath"}, kVar,
       "Compress a file into a .GZ file."},
      {"GUnZipFile", 0x60030016, K::kMethod, {"SrcZPath", "DestinationUnZPath", "OverRideName"}, kVar,
       "Extract file from a .GZ file."},
  }};
}

TypeLibrary BuildLibrary() {
  TypeLibrary library{"Quillon", 1, 1, 1033, "{C21BB842-C850-45CF-9071-9F93A46F32FD}", {}, {"FileOps___v0"}};
  library.classes.push_back({"Downloader", "{56944803-69CC-4668-B2A7-AB85F447901B}", true, "Quillon.Downloader",
                             DownloaderInterface(), true, DownloaderEvents()});
  library.classes.push_back({"IPInfo", "{A33659EE-4B6F-4526-BC0B-0BD9F17E7339}", true, "Quillon.IPInfo",
                             IPInfoInterface(), true, IPInfoEvents()});
  library.classes.push_back(
      {"Location", "{6570A3D2-5C1E-4634-B7C1-FA823F23748D}", false, "", LocationInterface(), false, {}});
  library.classes.push_back({"FileOps", "{7C5CE636-4691-4236-80EE-32C25483ABA3}", true, "Quillon.FileOps",
                             FileOpsInterface(), false, {}});
  for (ClassInfo& info : library.classes) info.error_source = library.name;
  return library;
}
}  // namespace

const TypeLibrary& QuillonTypeLibrary() {
  static const TypeLibrary library = BuildLibrary();
  return library;
}

}  // namespace quillon

"""The type library the real server publishes, checked against what clients rely on."""

import re
import unittest

import quillon
from support import ServerTestCase

DOWNLOADER = [
    (0x68030008, "get", "Busy", [], ""),
    (0x68030007, "put", "Port", ["PortNumber"], "Port number. Defaults to 80. Write-only."),
    (0x68030006, "get", "Online", [], "Boolean. Is system online? Read-only."),
    (0x68030005, "get", "ProxyConnection", [], "Boolean. Is connection through a proxy? Read-only."),
    (0x68030004, "get", "CurSize", [], "Size in bytes of currently downloaded file."),
    (0x68030003, "get", "CurFileAsString", [], "Returns currently downloaded file as string."),
    (0x68030002, "get", "ServerHeader", [],
     "Returns server response strings that are received before the actual file."),
    (0x68030001, "get", "ServerCode", [],
     "Returns server response code for download request. Ex. 200=OK. 404=File Not Found."),
    (0x68030000, "get", "ErrorString", [], ""),
    (0x60030009, "method", "DisconnectNetwork", [], ""),
    (0x6003000A, "method", "RequestFile", ["Server", "FilePath"],
     "Contacts server and requests file. This is NOT the same as reception of the file."),
    (0x6003000B, "method", "WriteTextFile", ["sPath", "IfDelete"],
     "Same as WriteBinaryFile, but first converts byte data to string and fixes any non-Windows "
     "carriage returns."),
    (0x6003000C, "method", "WriteBinaryFile", ["sPath", "IfDelete"], "Writes current file to disk."),
]
DOWNLOADER_EVENTS = [
    (1, "event", "OnConnect", ["ServerURL"], "Occurs when connection has been successfully made to server."),
    (2, "event", "OnDownloadFinish", ["ResponseCode", "ResponseString"],
     "Occurs when a file download attempt is finished - whether it was successful or not."),
    (3, "event", "OnDisconnect", [], "Occurs when server connection is broken."),
]
IPINFO = [
    (0x68030002, "get", "ErrorString", [], "Returns error info."),
    (0x68030001, "put", "TimeOut", ["value"],
     "Sets length of time (in ms) before a host name request to remote server will time out and be abandoned."),
    (0x68030000, "get", "Busy", [],
     "Boolean property designed as a device to keep a  VBScript running while it waits for host name "
     "resolution."),
    (0x60030003, "method", "EnableHostNameData", [], "Initializes winsock. Necessary before calling GetHostNameFromIP"),
    (0x60030004, "method", "GetHostNameFromIP", ["vIP"],
     "Attempts to return the human readable host name from an IPv4 IP address."),
    (0x60030005, "method", "EnableLocationData", ["vDBPath"],
     "Loads GeoIPComEx.dll from MaxMind and points it to the database."),
    (0x60030006, "method", "GetLocationFromIP", ["vIP"], "Attempts to find thegeographical  location  of an IP address."),
]
IPINFO_EVENTS = [
    (1, "event", "OnHostNameResult", ["vIP", "vHost", "vErr"],
     "Event occurs when host name request either returns or times out."),
]
LOCATION = [
    (0x68030006, "get", "Valid", [], "Does the Location object contain data? Was call to GetLocationFromIP successful?"),
    (0x68030005, "get", "Country", [], ""),
    (0x68030004, "get", "CountryCode", [], ""),
    (0x68030003, "get", "Region", [], ""),
    (0x68030002, "get", "City", [], ""),
    (0x68030001, "get", "ZipCode", [], ""),
    (0x68030000, "get", "AreaCode", [], ""),
]
FILEOPS = [
    (0x60030003, "method", "OpenFile", ["Path"], "Opens a file for read/write. File is created if not already existing."),
    (0x68030002, "get", "FileSize", [], "Returns size of current file. 0 if no file open."),
    (0x60030004, "method", "FileRead", ["Start", "Length", "ID"], "Reads specified number of bytes from open file."),
    (0x60030005, "method", "FileWrite", ["Start", "ID"], "Writes a store to open file."),
    (0x60030006, "method", "GetBytes", ["ID", "Start", "Length", "BytesArray"], "Returns an array of bytes from a store."),
    (0x60030007, "method", "ReplaceBytes", ["ID", "Start", "BytesArray"], "Replace specific bytes in a store."),
    (0x60030008, "method", "StoreBytes", ["ID", "BytesArray"], "Create a new store from an array of byte values."),
    (0x60030009, "method", "StoreString", ["ID", "StringData"], "Create a new store from a string."),
    (0x6003000A, "method", "CopyBytes", ["IDFrom", "StartFrom", "LengthFrom", "IDTo", "StartTo"], ""),
    (0x60030017, "method", "DeleteStore", ["ID"], ""),
    (0x6003000B, "method", "GetStoreSize", ["ID"], "Get size of store in bytes."),
    (0x6003000C, "method", "StoreExists", ["ID"], "Boolean. Does specified store exist?"),
    (0x6003000D, "method", "ClearStorage", [], "Clear all stores."),
    (0x6003000E, "method", "BytesToLong", ["ArrayIn"],
     "Convert an array of byte values to an Intel-format (little endian) long integer."),
    (0x6003000F, "method", "LongToBytes", ["LongInt"],
     "Returns an array of byte values for a long integer in little endian format."),
    (0x60030010, "method", "CloseFile", [], "Close current file."),
    (0x60030011, "method", "DeleteFile", ["Path"], ""),
    (0x68030001, "get", "ErrorString", [], ""),
    (0x68030000, "get", "ErrorNumber", [], ""),
    (0x60030012, "method", "ClearError", [], ""),
    (0x60030013, "method", "Zip", ["ID"], "compress a store using zlib  compression."),
    (0x60030014, "method", "Unzip", ["ID", "OrigSize"], "Uncompress a store that was zipped."),
    (0x60030015, "method", "GZipFile", ["SrcPath", "DestinationZPath"], "Compress a file into a .GZ file."),
    (0x60030016, "method", "GUnZipFile", ["SrcZPath", "DestinationUnZPath", "OverRideName"],
     "Extract file from a .GZ file."),
]

# (name, creatable, progid, interface, members, event interface, events)
CLASSES = [
    ("Downloader", True, "Quillon.Downloader", "_Downloader", DOWNLOADER, "__Downloader", DOWNLOADER_EVENTS),
    ("IPInfo", True, "Quillon.IPInfo", "_IPInfo", IPINFO, "__IPInfo", IPINFO_EVENTS),
    ("Location", False, "", "_Location", LOCATION, None, None),
    ("FileOps", True, "Quillon.FileOps", "_FileOps", FILEOPS, None, None),
]

# Clients cache these; a build that changes one breaks them.
GUIDS = {
    "Downloader": ("{56944803-69CC-4668-B2A7-AB85F447901B}", "{0D1E9EBA-7BB1-4176-A23D-2449AF86BF06}",
                   "{1446FF00-575C-4CD3-9369-26B2E0CC948A}"),
    "IPInfo": ("{A33659EE-4B6F-4526-BC0B-0BD9F17E7339}", "{3403F200-79F6-4827-A165-034B191FA79C}", None),
    "Location": ("{6570A3D2-5C1E-4634-B7C1-FA823F23748D}", None, None),
    "FileOps": ("{7C5CE636-4691-4236-80EE-32C25483ABA3}", None, None),
}
GUID = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")


def members(interface):
    return [(m["dispid"], m["kind"], m["name"], m["params"], m["help"]) for m in interface["members"]]


class TypeLibraryTest(ServerTestCase):
    def setUp(self):
        self.library = quillon.typelib()

    def test_library_header(self):
        self.assertEqual(self.library["name"], "Quillon")
        self.assertEqual(self.library["version"], "1.1")
        self.assertEqual(self.library["lcid"], 1033)
        self.assertEqual(self.library["aliases"], ["FileOps___v0"])

    def test_every_class_member_and_event_in_interface_order(self):
        self.assertEqual([c["name"] for c in self.library["classes"]], [c[0] for c in CLASSES])
        for (name, creatable, progid, iface, expected, event_iface, expected_events), actual in zip(
                CLASSES, self.library["classes"]):
            with self.subTest(cls=name):
                self.assertEqual(actual["creatable"], creatable)
                self.assertEqual(actual["progid"], progid)
                self.assertEqual(actual["interface"]["name"], iface)
                self.assertEqual(members(actual["interface"]), expected)
                if event_iface is None:
                    self.assertIsNone(actual["events"])
                else:
                    self.assertEqual(actual["events"]["name"], event_iface)
                    self.assertEqual(members(actual["events"]), expected_events)

    def test_identifiers_are_fixed_well_formed_and_distinct(self):
        seen = []
        for actual in self.library["classes"]:
            ids = [actual["clsid"], actual["interface"]["iid"]]
            if actual["events"]:
                ids.append(actual["events"]["iid"])
            for guid in ids:
                self.assertRegex(guid, GUID)
            seen += ids
            clsid, iid, _ = GUIDS[actual["name"]]
            self.assertEqual(actual["clsid"], clsid)
            if iid:
                self.assertEqual(actual["interface"]["iid"], iid)
        self.assertEqual(len(seen), len(set(seen)))

    def test_members_resolve_to_their_dispids_without_regard_to_case(self):
        fo = quillon.Dispatch("Quillon.FileOps")
        for dispid, _, name, _, _ in FILEOPS:
            self.assertEqual(quillon.get_dispid(fo, name.upper()), dispid)


if __name__ == "__main__":
    unittest.main()

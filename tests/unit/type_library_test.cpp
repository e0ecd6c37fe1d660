// The type library: clients cache DISPIDs and rely on member order, names,
// parameter lists and help strings, so any drift here breaks them.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/type_library.h"
#include "product/quillon_product.h"

namespace quillon {
namespace {

// One line per member: "DISPID kind name(params)", in interface order.
std::string Outline(const InterfaceInfo& iface) {
  std::string out;
  for (const auto& m : iface.members) {
    char id[16];
    std::snprintf(id, sizeof id, "%X", static_cast<uint32_t>(m.dispid));
    out += std::string(id) + " " + std::string(MemberKindName(m.kind)) + " " + std::string(m.name) + "(";
    for (size_t i = 0; i < m.params.size(); ++i) {
      if (i > 0) out += ',';
      out += m.params[i];
    }
    out += ")\n";
  }
  return out;
}

const ClassInfo& ClassNamed(const char* name) {
  const ClassInfo* info = QuillonTypeLibrary().FindClass(name);
  EXPECT_NE(info, nullptr) << name;
  return *info;
}

TEST(TypeLibrary, LibraryIdentity) {
  const TypeLibrary& lib = QuillonTypeLibrary();
  EXPECT_EQ(lib.name, "Quillon");
  EXPECT_EQ(lib.major_version, 1);
  EXPECT_EQ(lib.minor_version, 1);
  EXPECT_EQ(lib.lcid, 1033u);
  ASSERT_EQ(lib.aliases.size(), 1u);
  EXPECT_EQ(lib.aliases[0], "FileOps___v0");
  ASSERT_EQ(lib.classes.size(), 4u);

  std::set<std::string_view> guids{lib.libid};
  for (const auto& c : lib.classes) {
    guids.insert(c.clsid);
    guids.insert(c.interface.iid);
    if (c.events()) guids.insert(c.events()->iid);
  }
  EXPECT_EQ(guids.size(), 1u + 4u + 4u + 2u) << "every GUID is distinct";
  for (auto g : guids) EXPECT_EQ(g.size(), 38u) << g;
}

TEST(TypeLibrary, ClassesProgIdsAndCreatability) {
  const TypeLibrary& lib = QuillonTypeLibrary();
  EXPECT_EQ(lib.FindByProgId(u"quillon.fileops"), &ClassNamed("FileOps"));
  EXPECT_EQ(lib.FindByProgId(u"Quillon.Downloader"), &ClassNamed("Downloader"));
  EXPECT_EQ(lib.FindByProgId(u"Quillon.IPInfo"), &ClassNamed("IPInfo"));
  EXPECT_EQ(lib.FindByProgId(u"Quillon.Location"), nullptr);
  EXPECT_FALSE(ClassNamed("Location").creatable);
  EXPECT_EQ(ClassNamed("Location").events(), nullptr);
  EXPECT_EQ(ClassNamed("FileOps").events(), nullptr);
  EXPECT_EQ(ClassNamed("Downloader").events()->name, "__Downloader");
  EXPECT_EQ(ClassNamed("IPInfo").events()->name, "__IPInfo");
}

TEST(TypeLibrary, DownloaderMembersInOrder) {
  EXPECT_EQ(Outline(ClassNamed("Downloader").interface),
            "68030008 get Busy()\n68030007 put Port(PortNumber)\n68030006 get Online()\n"
            "68030005 get ProxyConnection()\n68030004 get CurSize()\n68030003 get CurFileAsString()\n"
            "68030002 get ServerHeader()\n68030001 get ServerCode()\n68030000 get ErrorString()\n"
            "60030009 method DisconnectNetwork()\n6003000A method RequestFile(Server,FilePath)\n"
            "6003000B method WriteTextFile(sPath,IfDelete)\n6003000C method WriteBinaryFile(sPath,IfDelete)\n");
  EXPECT_EQ(Outline(*ClassNamed("Downloader").events()),
            "1 event OnConnect(ServerURL)\n2 event OnDownloadFinish(ResponseCode,ResponseString)\n"
            "3 event OnDisconnect()\n");
}

TEST(TypeLibrary, IPInfoAndLocationMembersInOrder) {
  EXPECT_EQ(Outline(ClassNamed("IPInfo").interface),
            "68030002 get ErrorString()\n68030001 put TimeOut(value)\n68030000 get Busy()\n"
            "60030003 method EnableHostNameData()\n60030004 method GetHostNameFromIP(vIP)\n"
            "60030005 method EnableLocationData(vDBPath)\n60030006 method GetLocationFromIP(vIP)\n");
  EXPECT_EQ(Outline(*ClassNamed("IPInfo").events()), "1 event OnHostNameResult(vIP,vHost,vErr)\n");
  EXPECT_EQ(Outline(ClassNamed("Location").interface),
            "68030006 get Valid()\n68030005 get Country()\n68030004 get CountryCode()\n68030003 get Region()\n"
            "68030002 get City()\n68030001 get ZipCode()\n68030000 get AreaCode()\n");
  const MemberInfo* get_location = ClassNamed("IPInfo").interface.FindByName("GetLocationFromIP");
  EXPECT_EQ(get_location->result, ResultKind::kObject);
  EXPECT_EQ(get_location->result_class, "Location");
}

TEST(TypeLibrary, FileOpsMembersInOrder) {
  // DeleteStore was added last: highest DISPID, yet it stands among the store members.
  EXPECT_EQ(Outline(ClassNamed("FileOps").interface),
            "60030003 method OpenFile(Path)\n68030002 get FileSize()\n60030004 method FileRead(Start,Length,ID)\n"
            "60030005 method FileWrite(Start,ID)\n60030006 method GetBytes(ID,Start,Length,BytesArray)\n"
            "60030007 method ReplaceBytes(ID,Start,BytesArray)\n60030008 method StoreBytes(ID,BytesArray)\n"
            "60030009 method StoreString(ID,StringData)\n"
            "6003000A method CopyBytes(IDFrom,StartFrom,LengthFrom,IDTo,StartTo)\n"
            "60030017 method DeleteStore(ID)\n6003000B method GetStoreSize(ID)\n6003000C method StoreExists(ID)\n"
            "6003000D method ClearStorage()\n6003000E method BytesToLong(ArrayIn)\n"
            "6003000F method LongToBytes(LongInt)\n60030010 method CloseFile()\n60030011 method DeleteFile(Path)\n"
            "68030001 get ErrorString()\n68030000 get ErrorNumber()\n60030012 method ClearError()\n"
            "60030013 method Zip(ID)\n60030014 method Unzip(ID,OrigSize)\n"
            "60030015 method GZipFile(SrcPath,DestinationZPath)\n"
            "60030016 method GUnZipFile(SrcZPath,DestinationUnZPath,OverRideName)\n");
}

TEST(TypeLibrary, HelpStringsKeepTheirExactSpacing) {
  const auto help = [](const char* cls, const char* member) {
    return std::string(ClassNamed(cls).interface.FindByName(std::string_view(member))->help);
  };
  EXPECT_EQ(help("IPInfo", "Busy"),
            "Boolean property designed as a device to keep a  VBScript running while it waits for host name "
            "resolution.");
  EXPECT_EQ(help("IPInfo", "GetLocationFromIP"), "Attempts to find thegeographical  location  of an IP address.");
  EXPECT_EQ(help("FileOps", "Zip"), "compress a store using zlib  compression.");
  EXPECT_EQ(help("IPInfo", "EnableHostNameData"), "Initializes winsock. Necessary before calling GetHostNameFromIP");
  EXPECT_EQ(help("Downloader", "ServerCode"),
            "Returns server response code for download request. Ex. 200=OK. 404=File Not Found.");
  EXPECT_EQ(help("Downloader", "Busy"), "");
  EXPECT_EQ(help("FileOps", "CopyBytes"), "");
}

TEST(TypeLibrary, DispatchIdentifiersFollowTheNumberingRules) {
  for (const auto& c : QuillonTypeLibrary().classes) {
    std::set<DispId> seen;
    for (const auto& m : c.interface.members) {
      EXPECT_TRUE(seen.insert(m.dispid).second) << c.name << "." << m.name;
      const uint32_t range = static_cast<uint32_t>(m.dispid) & 0xFFFF0000u;
      EXPECT_EQ(range, m.kind == MemberKind::kMethod ? 0x60030000u : 0x68030000u) << c.name << "." << m.name;
      EXPECT_EQ(m.params.size(), m.kind == MemberKind::kPropertyPut ? 1u : m.params.size());
      if (m.kind == MemberKind::kPropertyGet) {
        EXPECT_TRUE(m.params.empty());
      }
    }
  }
}

TEST(TypeLibrary, IdlNamesEveryMember) {
  const std::string idl = TypeLibraryAsIdl(QuillonTypeLibrary());
  EXPECT_NE(idl.find("library Quillon"), std::string::npos);
  EXPECT_NE(idl.find("version(1.1)"), std::string::npos);
  EXPECT_NE(idl.find("[id(0x60030017)]\n        HRESULT DeleteStore([in, out] VARIANT* ID);"), std::string::npos);
  EXPECT_NE(idl.find("FileOps___v0"), std::string::npos);
  EXPECT_NE(idl.find("noncreatable"), std::string::npos);
  for (const auto& c : QuillonTypeLibrary().classes)
    for (const auto& m : c.interface.members) EXPECT_NE(idl.find(std::string(m.name) + "("), std::string::npos);
}

}  // namespace
}  // namespace quillon

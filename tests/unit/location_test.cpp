// Locations as clients see them: IPInfo.EnableLocationData and
// GetLocationFromIP through dispatch, over city databases written by the same
// generator that makes the sample database, damaged ones included.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <asio/io_context.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/dispatch.h"
#include "core/host.h"
#include "core/registry.h"
#include "core/text.h"
#include "ipinfo/geo_city_locator.h"
#include "ipinfo/geo_city_writer.h"
#include "ipinfo/ip_info.h"
#include "product/quillon_product.h"
#include "test_support.h"

namespace quillon {
namespace {

using testing::ScratchDir;
using testing::WriteAll;

Variant Text(const std::string& utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }

std::vector<uint8_t> Database(const std::vector<CityNetwork>& networks, CityDatabaseOptions options = {}) {
  std::vector<uint8_t> bytes;
  const Status status = BuildCityDatabase(networks, options, &bytes);
  EXPECT_TRUE(status.ok()) << Utf16ToUtf8(status.description());
  return bytes;
}

const std::vector<CityNetwork>& Networks() {
  static const std::vector<CityNetwork> networks = {
      {"192.0.2.0/24", "US", "NY", "New York", "10001", 40.7128, -74.0060, 501, 212},
      {"198.51.100.0/24", "FR", "A1", "Dijon", "21000", 47.3220, 5.0415},
      {"198.51.100.128/25", "CA", "ON", "Toronto", "M5H", 43.6532, -79.3832},  // inside the line above
      {"203.0.113.0/25", "GB", "B7", "Bristol", "BS1", 51.4545, -2.5879},
      {"203.0.113.128/32", "DE", "", "", "", 52.52, 13.405},
      {"127.0.0.0/8", "GB", "H9", "London", "EC1A", 51.5155, -0.0922},
  };
  return networks;
}

struct Place {
  bool valid;
  std::string country, country_code, region, city, zip_code, area_code;
  bool operator==(const Place&) const = default;
  friend void PrintTo(const Place& p, std::ostream* os) {
    *os << "{" << p.valid << ", " << p.country << ", " << p.country_code << ", " << p.region << ", " << p.city
        << ", " << p.zip_code << ", " << p.area_code << "}";
  }
};

Place Read(Dispatch& location) {
  auto text = [&](const char* name) { return Utf16ToUtf8(Get(location, name).bstr()); };
  return {Get(location, "Valid").boolean(), text("Country"), text("CountryCode"), text("Region"),
          text("City"), text("ZipCode"), text("AreaCode")};
}

const Place kNowhere = {false, "", "", "", "", "", ""};

class LocationLookup : public ::testing::Test {
 protected:
  LocationLookup() : info_(CreateIPInfo(host_, scope_)) {
    good_path_ = dir_.File("GEOIPCITY.DAT");
    WriteAll(good_path_, Database(Networks()));
  }

  Variant Enable(const std::string& path) { return Call(*info_, "EnableLocationData", {Text(path)}); }
  std::string ErrorString() { return Utf16ToUtf8(Get(*info_, "ErrorString").bstr()); }
  std::shared_ptr<Dispatch> Locate(const std::string& ip) {
    return Call(*info_, "GetLocationFromIP", {Text(ip)}).object();
  }

  asio::io_context loop_;
  QuillonHost host_;
  ClientScope scope_{loop_};
  std::shared_ptr<Dispatch> info_;
  ScratchDir dir_;
  std::string good_path_;
};

TEST_F(LocationLookup, PathRules) {
  EXPECT_EQ(Enable(dir_.File("missing/GEOIPCITY.DAT")), Variant::I2(2));
  EXPECT_EQ(ErrorString(), "Database path invalid");

  WriteAll(dir_.File("other.dat"), Database(Networks()));
  EXPECT_EQ(Enable(dir_.File("other.dat")), Variant::I2(2));
  EXPECT_EQ(ErrorString(), "Database path invalid");

  std::filesystem::create_directories(dir_.path() / "folder" / "GEOIPCITY.DAT");
  EXPECT_EQ(Enable(dir_.File("folder/GEOIPCITY.DAT")), Variant::I2(2));

  EXPECT_EQ(Call(*info_, "EnableLocationData", {Variant::Null()}), Variant::I4(94));
  EXPECT_EQ(ErrorString(), "Invalid use of Null");

  // Any letter case of the name will do, and the file opened is the one named,
  // even beside another whose name differs only in case.
  std::filesystem::create_directories(dir_.path() / "cases");
  WriteAll(dir_.File("cases/GEOIPCITY.DAT"), Database({{"0.0.0.0/0", "JP", "40", "Tokyo", ""}}));
  WriteAll(dir_.File("cases/geoipcity.dat"), Database(Networks()));
  EXPECT_EQ(Enable(dir_.File("cases/geoipcity.dat")), Variant::I2(0));
  EXPECT_EQ(ErrorString(), "");
  EXPECT_EQ(Read(*Locate("192.0.2.1")).city, "New York");
  EXPECT_EQ(Enable(dir_.File("cases/GEOIPCITY.DAT")), Variant::I2(0));
  EXPECT_EQ(Read(*Locate("192.0.2.1")).city, "Tokyo");
}

TEST_F(LocationLookup, FieldsOfFoundAddresses) {
  EXPECT_EQ(Read(*Locate("192.0.2.1")), kNowhere) << "before EnableLocationData";
  ASSERT_EQ(Enable(good_path_), Variant::I2(0));

  struct Case {
    std::string ip;
    Place expected;
  };
  const std::vector<Case> cases = {
      // US and CA: the region code itself and the postal code.
      {"192.0.2.77", {true, "United States", "US", "NY", "New York", "10001", "212"}},
      {"198.51.100.200", {true, "Canada", "CA", "ON", "Toronto", "M5H", "0"}},
      // Elsewhere: the table's region name and no postal code.
      {"198.51.100.7", {true, "France", "FR", "Bourgogne", "Dijon", "", "0"}},
      {"203.0.113.5", {true, "United Kingdom", "GB", "Bristol, City of", "Bristol", "", "0"}},
      {"203.0.113.128", {true, "Germany", "DE", "", "", "", "0"}},
      {"127.1", {true, "United Kingdom", "GB", "London, City of", "London", "", "0"}},  // read as inet_addr does
      {"203.0.113.129", kNowhere},
      {"abc", kNowhere},  // not 0.0.0.0
      {"255.255.255.255", kNowhere},
  };
  for (const Case& c : cases) EXPECT_EQ(Read(*Locate(c.ip)), c.expected) << c.ip;
}

TEST_F(LocationLookup, OneLocationObjectForTheIPInfo) {
  ASSERT_EQ(Enable(good_path_), Variant::I2(0));
  std::shared_ptr<Dispatch> first = Locate("192.0.2.1");
  EXPECT_EQ(Read(*first).country_code, "US");
  std::shared_ptr<Dispatch> second = Locate("198.51.100.7");
  EXPECT_EQ(first, second);
  EXPECT_EQ(Read(*first).country_code, "FR") << "an earlier reference shows the newer values";
  Locate("203.0.113.200");
  EXPECT_EQ(Read(*first), kNowhere) << "not found empties what it held";

  // A Location cannot be written to, and its object outlives the IPInfo.
  EXPECT_THROW(Put(*first, "Valid", Variant::Bool(true)), DispatchError);
  Locate("192.0.2.1");
  info_.reset();
  EXPECT_EQ(Read(*first).city, "New York");
}

TEST_F(LocationLookup, DatabasesThatCannotBeUsed) {
  const std::vector<uint8_t> good = Database(Networks());
  const uint32_t segments = good[good.size() - 3] | good[good.size() - 2] << 8 | good[good.size() - 1] << 16;
  auto with_pointer = [&](size_t node, int side, uint32_t value) {
    std::vector<uint8_t> bytes = good;
    bytes[node * 6 + side * 3] = static_cast<uint8_t>(value);
    bytes[node * 6 + side * 3 + 1] = static_cast<uint8_t>(value >> 8);
    bytes[node * 6 + side * 3 + 2] = static_cast<uint8_t>(value >> 16);
    return bytes;
  };
  // 33 nodes in a row: one more than an address has bits.
  std::vector<uint8_t> too_deep;
  constexpr uint8_t kChain = 33;
  for (uint8_t node = 0; node < kChain; ++node) {
    const uint8_t left = node + 1 < kChain ? node + 1 : kChain + 1;  // the last one leads to the record
    too_deep.insert(too_deep.end(), {left, 0, 0, kChain, 0, 0});
  }
  too_deep.insert(too_deep.end(), {0, 74, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 'T', 0xFF, 0xFF, 0xFF, 2, kChain, 0, 0});
  std::vector<uint8_t> truncated(good.begin(), good.end() - 7);
  std::vector<uint8_t> oversized_tree = good;
  oversized_tree[good.size() - 1] = 0x10;

  struct Case {
    std::string what;
    std::vector<uint8_t> bytes;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "cannot be read"},
      {"tree larger than the file", oversized_tree, "cannot be read"},
      {"no trailer", truncated, "is not a GeoIP City database"},
      {"country edition", Database(Networks(), {1, "country"}), "is not a GeoIP City database"},
      {"record past the end", with_pointer(0, 0, 0xFFFFFF), "a record lies outside the file"},
      {"record at the last byte", with_pointer(0, 0, static_cast<uint32_t>(good.size() - 1 - 5 * segments)),
       "a record lies outside the file"},
      {"loop", with_pointer(1, 0, 0), "loops"},
      {"too deep", too_deep, "deeper than 32 levels"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Enable(good_path_), Variant::I2(0));
    const std::string path = dir_.File(c.what + "/GEOIPCITY.DAT");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteAll(path, c.bytes);
    EXPECT_EQ(Enable(path), Variant::I4(75)) << c.what;
    EXPECT_NE(ErrorString().find(c.says), std::string::npos) << c.what << ": " << ErrorString();
    EXPECT_NE(ErrorString().find(path), std::string::npos) << c.what;
    EXPECT_EQ(Read(*Locate("192.0.2.1")), kNowhere) << c.what << ": lookups are off after a failure";
  }

  // A FIFO would block the server if it were read.
  const std::string fifo = dir_.File("fifo/GEOIPCITY.DAT");
  std::filesystem::create_directories(std::filesystem::path(fifo).parent_path());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Enable(fifo), Variant::I4(75));
  EXPECT_NE(ErrorString().find("is not a regular file"), std::string::npos) << ErrorString();
}

TEST(LocationDatabase, SampleAndGenerator) {
  ScratchDir dir;
  std::vector<uint8_t> sample;
  ASSERT_TRUE(BuildCityDatabase(SampleCityNetworks(), {}, &sample).ok());
  WriteAll(dir.File("GEOIPCITY.DAT"), sample);
  GeoCityLocator locator(DefaultEnv());
  ASSERT_TRUE(locator.SetDatabaseFolder(Utf8ToUtf16(dir.path().string() + "/"), u"GEOIPCITY.DAT").ok());
  ASSERT_TRUE(locator.FindAddress(u"192.0.2.5"));
  EXPECT_EQ(locator.GetCity(), u"New York");
  EXPECT_EQ(locator.GetAreaCode(), 212);
  ASSERT_TRUE(locator.FindAddress(u"198.51.100.70"));
  EXPECT_EQ(locator.GetRegionCode(), u"A1");
  EXPECT_FALSE(locator.FindAddress(u"203.0.113.200"));

  // Rev 0 files carry no area codes; city names are ISO-8859-1.
  WriteAll(dir.File("GEOIPCITY.DAT"),
           Database({{"10.0.0.0/8", "US", "CA", "San Jos\xE9", "95113", 37.3, -121.9, 807, 408}},
                    {kCityEditionRev0, "rev 0"}));
  ASSERT_TRUE(locator.SetDatabaseFolder(Utf8ToUtf16(dir.path().string() + "/"), u"GEOIPCITY.DAT").ok());
  ASSERT_TRUE(locator.FindAddress(u"10.1.2.3"));
  EXPECT_EQ(locator.GetCity(), u"San Jos\u00E9");
  EXPECT_EQ(locator.GetAreaCode(), 0);

  std::vector<uint8_t> bytes;
  for (const CityNetwork& bad : std::vector<CityNetwork>{{"192.0.2.1/24", "US"},   // host bits set
                                                         {"192.0.2.0/33", "US"},
                                                         {"192.0.2/24", "US"},
                                                         {"192.0.2.0/24", "XX"},  // no such country
                                                         {"192.0.2.0/24", "US", std::string("N\0Y", 3)}}) {
    EXPECT_FALSE(BuildCityDatabase(std::vector<CityNetwork>{bad}, {}, &bytes).ok()) << bad.cidr;
  }
}

}  // namespace
}  // namespace quillon

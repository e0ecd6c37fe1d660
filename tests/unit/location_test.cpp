// Locations as clients see them: IPInfo.EnableLocationData and
// GetLocationFromIP through dispatch, over city databases written by the same
// generator that makes the sample database, damaged ones included.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ipinfo/geo_city_locator.h"
#include "location_fixture.h"

namespace quillon {
namespace {

using namespace location_test;

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

  // Any letter case of the name will do.
  std::filesystem::create_directories(dir_.path() / "lower");
  WriteAll(dir_.File("lower/geoipcity.dat"), Database(Networks()));
  EXPECT_EQ(Enable(dir_.File("lower/geoipcity.dat")), Variant::I2(0));
  EXPECT_EQ(ErrorString(), "");
  EXPECT_EQ(Read(*Locate("192.0.2.1")).city, "New York");
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
    std::filesystem::create_directories(testing::PathOf(path).parent_path());
    WriteAll(path, c.bytes);
    EXPECT_EQ(Enable(path), Variant::I4(75)) << c.what;
    EXPECT_NE(ErrorString().find(c.says), std::string::npos) << c.what << ": " << ErrorString();
    EXPECT_NE(ErrorString().find(path), std::string::npos) << c.what;
    EXPECT_EQ(Read(*Locate("192.0.2.1")), kNowhere) << c.what << ": lookups are off after a failure";
  }
}

TEST(LocationDatabase, SampleAndGenerator) {
  ScratchDir dir;
  std::vector<uint8_t> sample;
  ASSERT_TRUE(BuildCityDatabase(SampleCityNetworks(), {}, &sample).ok());
  WriteAll(dir.File("GEOIPCITY.DAT"), sample);
  GeoCityLocator locator(DefaultEnv());
  ASSERT_TRUE(locator.SetDatabaseFolder(Utf8ToUtf16(testing::Utf8Of(dir.path()) + "/"), u"GEOIPCITY.DAT").ok());
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
  ASSERT_TRUE(locator.SetDatabaseFolder(Utf8ToUtf16(testing::Utf8Of(dir.path()) + "/"), u"GEOIPCITY.DAT").ok());
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

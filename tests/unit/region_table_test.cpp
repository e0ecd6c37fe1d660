// The region-name table the server carries, checked in its packed form, and
// the lookup of region names in it.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ipinfo/region_names.h"
#include "resources/region_table_resource.h"

namespace quillon {
namespace {

std::vector<std::string> Records(std::string_view packed) {
  std::vector<std::string> records;
  size_t start = 0;
  for (size_t star; (star = packed.find('*', start)) != std::string_view::npos; start = star + 1) {
    records.emplace_back(packed.substr(start, star - start));
  }
  return records;
}

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

TEST(RegionTable, PackedResourceHasTheCarriedFormat) {
  const std::span<const uint8_t> bytes = RegionTableResource();
  const std::string_view packed(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  ASSERT_EQ(packed.size(), 67716u);
  ASSERT_EQ(packed.substr(packed.size() - 3), std::string_view("*\0\0", 3));
  EXPECT_EQ(packed.find('\n'), std::string_view::npos);
  EXPECT_EQ(packed.find('\r'), std::string_view::npos);

  const std::vector<std::string> records = Records(packed.substr(0, packed.size() - 2));
  ASSERT_EQ(records.size(), 4198u);
  EXPECT_EQ(records.front(), "AD,02,Canillo");
  EXPECT_EQ(records.back(), "ZW,10,Harare");

  std::set<std::string> countries, pairs;
  int two_digits = 0, letter_digit = 0, two_letters = 0, us = 0, ca = 0;
  std::string previous_key;
  for (const std::string& record : records) {
    ASSERT_GE(record.size(), 8u) << record;
    ASSERT_TRUE(IsUpper(record[0]) && IsUpper(record[1]) && record[2] == ',' && record[5] == ',') << record;
    const std::string key = record.substr(0, 5);
    EXPECT_LT(previous_key, key) << "not sorted, or a pair twice: " << record;
    previous_key = key;
    countries.insert(record.substr(0, 2));
    pairs.insert(key);
    const char a = record[3], b = record[4];
    two_digits += IsDigit(a) && IsDigit(b);
    letter_digit += IsUpper(a) && IsDigit(b);
    two_letters += IsUpper(a) && IsUpper(b);
    const size_t name_length = record.size() - 6;
    EXPECT_TRUE(name_length >= 2 && name_length <= 41) << record;
    us += key.starts_with("US,");
    ca += key.starts_with("CA,");
    // The key lookup relies on this: a pair first occurs at its own record.
    EXPECT_EQ(packed.find(key + ","), packed.find(record + "*")) << record;
  }
  EXPECT_EQ(two_digits, 3780);
  EXPECT_EQ(letter_digit, 416);
  EXPECT_EQ(two_letters, 2);
  EXPECT_EQ(us, 51);
  EXPECT_EQ(ca, 13);
  EXPECT_EQ(countries.size(), 193u);  // the data's own count
}

TEST(RegionTable, RegionNames) {
  const std::u16string table = LoadRegionTable();
  struct Case {
    std::u16string country, region, expected;
  };
  const std::vector<Case> cases = {
      {u"FR", u"A1", u"Bourgogne"},
      {u"AD", u"02", u"Canillo"},                 // the first record
      {u"ZW", u"10", u"Harare"},                  // the last record
      {u"US", u"NY", u"NY"},                      // US and CA answer with the code itself
      {u"CA", u"ON", u"ON"},
      {u"US", u"01", u"01"},                      // not "Alabama"
      {u"CA", u"", u""},
      {u"fr", u"A1", u""},                        // case-sensitive
      {u"us", u"NY", u""},                        // lower-case us is looked up, and not found
      {u"FR", u"a1", u""},
      {u"FR", u"", u""},
      {u"", u"A1", u""},
      {u"FR", u"ZZ", u""},
      {u"CO", u"05", u"Bolivar Department "},     // the trailing blank stays
      {u"GB", u"B7", u"Bristol, City of"},        // commas of the name stay
      {u"RU", u"01", u"Adygeya, Republic of"},
      {u"PS", u"GZ", u"Gaza"},
      {u"IR", u"18", u"Semn\u0101n Province"},    // the table's UTF-8, decoded
      {u"TN", u"30", u"Qaf\u015Fah"},
      // Codes that are no whole key find nothing, rather than a piece of a record.
      {u"FR", u"A", u""},
      {u"R", u"A1", u""},
      {u"FR", u"A1,Bourgogne", u""},
      {u"FR", u"A1*", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegionName(table, c.country, c.region), c.expected)
        << std::string(c.country.begin(), c.country.end()) << "," << std::string(c.region.begin(), c.region.end());
  }
}

}  // namespace
}  // namespace quillon

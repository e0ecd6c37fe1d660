// The region-name search over the carried table and over tables of any text:
// the answer is always a whole name of a record that starts where a record
// starts, never a piece running across records.
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "ipinfo/region_names.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::u16string carried = LoadRegionTable();
  fuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  const std::u16string country = fuzz::Units(input.Piece(8));
  const std::u16string region = fuzz::Units(input.Piece(8));
  const std::u16string own_table = fuzz::Units(input.Rest());
  const std::u16string& table = (mode & 1) != 0 ? own_table : carried;

  const std::u16string name = RegionName(table, country, region);
  if (country == u"US" || country == u"CA") {
    FUZZ_CHECK(name == region);
    return 0;
  }
  if (country.empty() || region.empty()) FUZZ_CHECK(name.empty());
  if (name.empty()) return 0;
  FUZZ_CHECK(name.find(u'*') == std::u16string::npos);
  // The whole record, from a record's start to its end.
  const std::u16string record = country + u"," + region + u"," + name + u"*";
  const bool first = table.starts_with(record);
  FUZZ_CHECK(first || table.find(u"*" + record) != std::u16string::npos);
  return 0;
}

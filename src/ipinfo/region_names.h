// Region names: the region-name table (resource FIPSLIST) as an IPInfo keeps it,
// and the lookup of a country's region code in it.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// The table as text: records "CC,RR,Name" each ended by "*", then two NULs.
// Names are decoded as UTF-8, the encoding the few non-ASCII names were
// written in, so "Semnān Province" reads as such.
std::u16string LoadRegionTable();

// The name of a region. For "US" and "CA" the region code is the answer itself
// (their records carry numeric codes the location data never uses). Otherwise
// the record whose country and region codes are exactly these gives its whole
// name, commas and trailing blanks included; "" when either code is empty or
// there is no such record. Comparisons are case-sensitive.
std::u16string RegionName(std::u16string_view table, std::u16string_view country_code,
                          std::u16string_view region_code);

}  // namespace quillon

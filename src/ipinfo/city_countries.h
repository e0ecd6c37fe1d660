// The countries of the legacy GeoIP City format: a record names its country by
// one byte, an index into this fixed table of 256 entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillon {

// The two-letter code of an id ("--" for 0, which names no country).
std::string_view CityCountryCode(uint8_t id);
// The English name of an id, in ASCII; "" for 0.
std::string_view CityCountryName(uint8_t id);
// The id a writer stores for a code: its first entry, so "O1" is 246, not 255;
// nothing for a code the table lacks.
std::optional<uint8_t> CityCountryId(std::string_view code);

// The one country whose records of a rev 1 file carry metro and area codes.
inline constexpr uint8_t kCityUnitedStatesId = 225;

}  // namespace quillon

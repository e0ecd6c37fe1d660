// Writes small city databases in the legacy GeoIP City format (.dat) that the
// location component reads: the sample database the build installs beside the
// programs, and the fixtures of the tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/env.h"
#include "core/status.h"
#include "ipinfo/city_database.h"

namespace quillon {

struct CityNetwork {
  std::string cidr;          // "192.0.2.0/24"; a more specific network may lie inside another
  std::string country_code;  // a code of the format's country table, such as "US" or "FR"
  std::string region;        // region code: "NY" for US and CA, FIPS ("A1") elsewhere
  std::string city;          // ISO-8859-1 bytes, as the format stores them
  std::string postal_code;
  double latitude = 0;
  double longitude = 0;
  int metro_code = 0;  // kept for US records of a rev 1 database only, as the format does
  int area_code = 0;
};

struct CityDatabaseOptions {
  uint8_t database_type = kCityEditionRev1;
  std::string info = "Quillon sample city database";  // at most 99 bytes
};

// The file's bytes for these networks. Fails (error 5) for a malformed network,
// an unknown country code, a text holding NUL, or values the format cannot hold.
Status BuildCityDatabase(std::span<const CityNetwork> networks, const CityDatabaseOptions& options,
                         std::vector<uint8_t>* out);

// The sample: records in the documentation networks 192.0.2.0/24,
// 198.51.100.0/24 and 203.0.113.0/24 (203.0.113.192/26 is left out, so one
// range answers "not found").
std::vector<CityNetwork> SampleCityNetworks();

// Where the programs find the sample: ../share/quillon/ from their own folder.
std::string SampleCityDatabasePath(Env& env);

}  // namespace quillon

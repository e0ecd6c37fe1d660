// The location component: tells where an IPv4 address is (country, region,
// city, postal code, area code) from a city database in the legacy GeoIP City
// format. IPInfo drives it through the calls below.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/env.h"
#include "core/status.h"
#include "ipinfo/city_database.h"

namespace quillon {

class GeoCityLocator {
 public:
  explicit GeoCityLocator(Env& env);
  ~GeoCityLocator();
  GeoCityLocator(const GeoCityLocator&) = delete;
  GeoCityLocator& operator=(const GeoCityLocator&) = delete;

  // Opens the database `file_name` in `folder` ("" or ending in "/"); file names
  // are case-sensitive here, so the caller names the file it found. A file that
  // cannot be read, is not a city database or is damaged is error 75 with a
  // description of what is wrong; until a later call succeeds nothing is found.
  Status SetDatabaseFolder(std::u16string_view folder, std::u16string_view file_name);

  // Looks an address up, its text read as inet_addr reads it (127.1 included).
  // True when the database has it; the getters then describe it. False also for
  // text that is no address and when no database is open.
  bool FindAddress(std::u16string_view address);

  std::u16string GetCountryCode() const { return found_.country_code; }
  std::u16string GetCountryName() const { return found_.country_name; }
  std::u16string GetRegionCode() const { return found_.region; }
  std::u16string GetCity() const { return found_.city; }
  std::u16string GetPostalCode() const { return found_.postal_code; }
  int32_t GetAreaCode() const { return found_.area_code; }

 private:
  struct Found {
    std::u16string country_code, country_name, region, city, postal_code;
    int32_t area_code = 0;
  };

  Env& env_;
  std::unique_ptr<CityDatabase> database_;
  Found found_;
};

}  // namespace quillon

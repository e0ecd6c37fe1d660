// What the Location tests share: city databases written by the generator, the
// fields of a Location, and an IPInfo driven through dispatch.
#pragma once

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/dispatch.h"
#include "core/host.h"
#include "core/registry.h"
#include "core/text.h"
#include "ipinfo/geo_city_writer.h"
#include "ipinfo/ip_info.h"
#include "product/quillon_product.h"
#include "test_support.h"

namespace quillon::location_test {

using testing::ScratchDir;
using testing::WriteAll;

inline Variant Text(const std::string& utf8) { return Variant::Bstr(Utf8ToUtf16(utf8)); }

inline std::vector<uint8_t> Database(const std::vector<CityNetwork>& networks, CityDatabaseOptions options = {}) {
  std::vector<uint8_t> bytes;
  const Status status = BuildCityDatabase(networks, options, &bytes);
  EXPECT_TRUE(status.ok()) << Utf16ToUtf8(status.description());
  return bytes;
}

inline const std::vector<CityNetwork>& Networks() {
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

inline Place Read(Dispatch& location) {
  auto text = [&](const char* name) { return Utf16ToUtf8(Get(location, name).bstr()); };
  return {Get(location, "Valid").boolean(), text("Country"), text("CountryCode"), text("Region"),
          text("City"), text("ZipCode"), text("AreaCode")};
}

inline const Place kNowhere = {false, "", "", "", "", "", ""};

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

}  // namespace quillon::location_test

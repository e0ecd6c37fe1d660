// City databases read with libGeoIP, the C library the format comes from. Built
// only where libGeoIP is installed (the unit tests): its answers are the ones
// this system's own reader must give.
#pragma once

#include <memory>
#include <string>

#include "core/env.h"
#include "core/status.h"
#include "ipinfo/city_database.h"

namespace quillon {

// Opens the file with libGeoIP (all of it read into memory), then runs the
// structure check over the very bytes and node count libGeoIP will use, since
// libGeoIP itself trusts the file. Fails as city_database.h describes.
Status OpenCityDatabaseWithLibGeoIP(Env& env, const std::string& path, std::unique_ptr<CityDatabase>* database);

}  // namespace quillon

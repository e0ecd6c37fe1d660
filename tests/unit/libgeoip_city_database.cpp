#include "libgeoip_city_database.h"

#include <GeoIP.h>
#include <GeoIPCity.h>

namespace quillon {
namespace {

struct GeoIPCloser {
  void operator()(GeoIP* handle) const { GeoIP_delete(handle); }
};
struct RecordDeleter {
  void operator()(GeoIPRecord* record) const { GeoIPRecord_delete(record); }
};

Status Problem(std::u16string what) { return Status::Error(rt::kPathFileAccessError, std::move(what)); }

std::string TextOrEmpty(const char* text) { return text == nullptr ? std::string() : std::string(text); }

class LibGeoIPCityDatabase final : public CityDatabase {
 public:
  explicit LibGeoIPCityDatabase(std::unique_ptr<GeoIP, GeoIPCloser> handle) : handle_(std::move(handle)) {}

  bool Find(uint32_t address, CityRecord* record) const override {
    // By number: libGeoIP's text lookup reads malformed text as 0.0.0.0.
    std::unique_ptr<GeoIPRecord, RecordDeleter> found(GeoIP_record_by_ipnum(handle_.get(), address));
    if (!found) return false;
    record->country_code = TextOrEmpty(found->country_code);
    record->country_name = TextOrEmpty(found->country_name);
    record->region = TextOrEmpty(found->region);
    record->city = TextOrEmpty(found->city);
    record->postal_code = TextOrEmpty(found->postal_code);
    record->area_code = found->area_code;
    return true;
  }

 private:
  std::unique_ptr<GeoIP, GeoIPCloser> handle_;
};

}  // namespace

Status OpenCityDatabaseWithLibGeoIP(Env& env, const std::string& path, std::unique_ptr<CityDatabase>* database) {
  // Memory caching: libGeoIP's plain mode misreads records longer than 50 bytes.
  std::unique_ptr<GeoIP, GeoIPCloser> handle(GeoIP_open(env.FullPath(path).c_str(), GEOIP_MEMORY_CACHE | GEOIP_SILENCE));
  if (!handle || handle->cache == nullptr || handle->databaseSegments == nullptr) return Problem(u"cannot be read");
  const unsigned char edition = GeoIP_database_edition(handle.get());
  if (edition != GEOIP_CITY_EDITION_REV1 && edition != GEOIP_CITY_EDITION_REV0) {
    return Problem(u"is not a GeoIP City database");
  }
  const std::span<const uint8_t> file(handle->cache, static_cast<size_t>(handle->size));
  if (Status s = CheckCityDatabaseStructure(file, handle->databaseSegments[0], edition == GEOIP_CITY_EDITION_REV1);
      !s.ok()) {
    return s;
  }
  *database = std::make_unique<LibGeoIPCityDatabase>(std::move(handle));
  return Status::Ok();
}

}  // namespace quillon

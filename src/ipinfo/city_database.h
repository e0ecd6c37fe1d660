// City databases in the legacy GeoIP City format (.dat): what the location
// component asks of one, whichever reader answers it. A reader is a file of its
// own with its own factory; this system's reader is the one below.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/env.h"
#include "core/status.h"

namespace quillon {

// The type byte of the two City editions: rev 1 adds metro and area codes to
// US records.
inline constexpr uint8_t kCityEditionRev1 = 2;
inline constexpr uint8_t kCityEditionRev0 = 6;

// One record, its texts as the file stores them (ISO-8859-1 bytes).
struct CityRecord {
  std::string country_code, country_name, region, city, postal_code;
  int32_t area_code = 0;
};

class CityDatabase {
 public:
  virtual ~CityDatabase() = default;
  // True when the database has the address (host order); fills *record.
  // Several threads may look up at once.
  virtual bool Find(uint32_t address, CityRecord* record) const = 0;
};

// Every factory fails with error 75 and describes what is wrong with the file
// in words that follow "The location database ": "cannot be read", "is not a
// GeoIP City database" or "is damaged (<why>)". Scripts read these, so every
// reader gives the same words for the same file. `path` must name a regular
// file: reading a FIFO would block (the caller checks).

// Reads the whole file through `env` and answers from memory. Safe on any bytes:
// no lookup in a file it opened reads outside the file.
Status OpenCityDatabase(Env& env, const std::string& path, std::unique_ptr<CityDatabase>* database);
// The same over a file's bytes already in memory.
Status OpenCityDatabase(std::vector<uint8_t> file, std::unique_ptr<CityDatabase>* database);

// Whether every lookup in a City database of `segments` tree nodes (rev 1 files
// carry the extra US field) stays inside `file`, never loops and never needs more
// than the 32 address bits. Readers that trust the file run this before any
// lookup. Error 75 "is damaged (<why>)" when not.
Status CheckCityDatabaseStructure(std::span<const uint8_t> file, uint32_t segments, bool rev1);

}  // namespace quillon

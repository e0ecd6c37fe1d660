// City databases of any bytes, opened by the own reader: its lookups follow
// tree pointers and scan record texts without bounds, so the structure check
// must refuse every file on which a lookup could leave the file's bytes. For
// each file it opens, an independent walk of the lookup path over a few
// addresses confirms that nothing a lookup reads lies outside.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "ipinfo/city_database.h"

using namespace quillon;

namespace {

constexpr uint8_t kRev1 = 2;
constexpr uint8_t kUnitedStates = 225;

uint32_t Little24(std::span<const uint8_t> bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | uint32_t{bytes[at + 2]} << 16;
}

// What the file's trailer says, found the way readers find it: FF FF FF in
// the last 22 bytes, then the type byte and the three-byte segment count.
struct Trailer {
  bool found = false;
  uint8_t type = 0;
  uint32_t segments = 0;
};

Trailer ReadTrailer(std::span<const uint8_t> file) {
  Trailer trailer;
  for (size_t back = 3; back <= 22 && back <= file.size(); ++back) {
    const size_t at = file.size() - back;
    if (file[at] == 0xFF && file[at + 1] == 0xFF && file[at + 2] == 0xFF) {
      if (at + 7 > file.size()) return trailer;
      trailer.found = true;
      trailer.type = file[at + 3] >= 106 ? static_cast<uint8_t>(file[at + 3] - 105) : file[at + 3];
      trailer.segments = Little24(file, at + 4);
      return trailer;
    }
  }
  return trailer;
}

// The bytes one lookup of `address` reads, all inside the file: false when any
// would lie outside, or the walk runs out of bits.
bool LookupStaysInside(std::span<const uint8_t> file, const Trailer& trailer, uint32_t address) {
  const uint64_t segments = trailer.segments;
  uint64_t node = 0;
  for (int bit = 31; bit >= 0; --bit) {
    const uint64_t at = node * 6 + (((address >> bit) & 1) != 0 ? 3 : 0);
    if (at + 3 > file.size()) return false;
    const uint32_t pointer = Little24(file, static_cast<size_t>(at));
    if (pointer == segments) return true;  // not found: nothing more is read
    if (pointer < segments) {
      node = pointer;
      continue;
    }
    uint64_t record = pointer + 5 * segments;
    if (record >= file.size()) return false;
    const uint8_t country = file[record++];
    for (int text = 0; text < 3; ++text) {
      while (record < file.size() && file[record] != 0) ++record;
      if (record >= file.size()) return false;
      ++record;
    }
    record += 6;
    if (trailer.type == kRev1 && country == kUnitedStates) record += 3;
    return record <= file.size();
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  std::vector<uint32_t> addresses = {0, 0xFFFFFFFEu, 0xC0000201u, 0xC6336401u, 0xCB0071C1u};
  for (int i = 0; i < 4; ++i) addresses.push_back(input.U32());
  const std::span<const uint8_t> file = input.Rest();

  std::unique_ptr<CityDatabase> database;
  const Status opened = OpenCityDatabase(std::vector<uint8_t>(file.begin(), file.end()), &database);
  if (opened.ok()) {
    const Trailer trailer = ReadTrailer(file);
    FUZZ_CHECK(trailer.found);
    for (uint32_t address : addresses) {
      FUZZ_CHECK(LookupStaysInside(file, trailer, address));
      CityRecord record;
      if (database->Find(address, &record)) FUZZ_CHECK(record.country_code.size() == 2);
    }
  } else {
    // Only the words scripts know.
    const std::u16string& why = opened.description();
    FUZZ_CHECK(opened.number() == 75);
    FUZZ_CHECK(why == u"cannot be read" || why == u"is not a GeoIP City database" ||
               (why.starts_with(u"is damaged (") && why.ends_with(u")")));
  }
  return 0;
}

#include "ipinfo/geo_city_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "ipinfo/city_countries.h"

namespace quillon {
namespace {

constexpr uint32_t kPointerLimit = 1u << 24;  // pointers are 3 bytes wide

Status Invalid(std::u16string why) {
  return Status::Error(rt::kInvalidProcedureCall, u"City database: " + std::move(why));
}

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

// "a.b.c.d/p" in plain decimal; the address must be the network's first one.
bool ParseCidr(std::string_view text, uint32_t* network, int* prefix) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  uint32_t address = 0;
  std::string_view rest = text.substr(0, slash);
  for (int part = 0; part < 4; ++part) {
    const size_t dot = part < 3 ? rest.find('.') : rest.size();
    if (dot == std::string_view::npos || dot == 0) return false;
    unsigned value = 0;
    const std::string_view digits = rest.substr(0, dot);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value > 255) return false;
    address = (address << 8) | value;
    rest = part < 3 ? rest.substr(dot + 1) : std::string_view();
  }
  const std::string_view bits = text.substr(slash + 1);
  int length = -1;
  auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), length);
  if (error != std::errc() || end != bits.data() + bits.size() || length < 0 || length > 32) return false;
  const uint32_t host_mask = length == 32 ? 0 : (0xFFFFFFFFu >> length);
  if ((address & host_mask) != 0) return false;
  *network = address;
  *prefix = length;
  return true;
}

void PutLittle24(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value >> 16));
}

Status EncodeCoordinate(double degrees, std::vector<uint8_t>& out) {
  if (!(degrees >= -180.0 && degrees <= 180.0)) return Invalid(u"a coordinate lies outside -180 to 180");
  PutLittle24(out, static_cast<uint32_t>(std::lround((degrees + 180.0) * 10000.0)));
  return Status::Ok();
}

Status EncodeRecord(const CityNetwork& network, uint8_t database_type, std::vector<uint8_t>& out) {
  const std::optional<uint8_t> country = CityCountryId(network.country_code);
  if (!country) return Invalid(u"unknown country code " + Ascii(network.country_code));
  out.push_back(*country);
  for (const std::string* text : {&network.region, &network.city, &network.postal_code}) {
    if (text->find('\0') != std::string::npos) return Invalid(u"a text holds NUL");
    out.insert(out.end(), text->begin(), text->end());
    out.push_back(0);
  }
  if (Status s = EncodeCoordinate(network.latitude, out); !s.ok()) return s;
  if (Status s = EncodeCoordinate(network.longitude, out); !s.ok()) return s;
  // Readers take the metro and area codes from US records of rev 1 files only,
  // and step over nothing in any other record, so nothing else may carry them.
  if (database_type == kCityEditionRev1 && *country == kCityUnitedStatesId) {
    if (network.area_code < 0 || network.area_code > 999 || network.metro_code < 0 ||
        network.metro_code > 16776) {
      return Invalid(u"metro or area code out of range");
    }
    PutLittle24(out, static_cast<uint32_t>(network.metro_code * 1000 + network.area_code));
  }
  return Status::Ok();
}

// A search-tree slot: nothing (not found), another node, or a record.
struct Slot {
  enum Kind : uint8_t { kNothing, kNode, kRecord } kind = kNothing;
  uint32_t value = 0;  // node index, or the record's offset in the data section
};
struct TreeNode {
  Slot child[2];
};

}  // namespace

Status BuildCityDatabase(std::span<const CityNetwork> networks, const CityDatabaseOptions& options,
                         std::vector<uint8_t>* out) {
  if (options.info.size() > 99 || options.info.find('\0') != std::string::npos) {
    return Invalid(u"the info text must be at most 99 bytes without NUL");
  }

  struct Parsed {
    uint32_t network;
    int prefix;
    uint32_t record_offset;
  };
  std::vector<Parsed> parsed;
  std::vector<uint8_t> data{0};  // data offset 0 means "not found", so no record starts there
  for (const CityNetwork& network : networks) {
    Parsed p{};
    if (!ParseCidr(network.cidr, &p.network, &p.prefix)) return Invalid(u"bad network " + Ascii(network.cidr));
    p.record_offset = static_cast<uint32_t>(data.size());
    if (Status s = EncodeRecord(network, options.database_type, data); !s.ok()) return s;
    parsed.push_back(p);
  }

  // Less specific networks first: a more specific one then splits the leaf it
  // falls in, and the rest of that leaf keeps the wider network's record.
  std::stable_sort(parsed.begin(), parsed.end(), [](const Parsed& a, const Parsed& b) { return a.prefix < b.prefix; });
  std::vector<TreeNode> nodes(1);
  for (const Parsed& p : parsed) {
    const Slot leaf{Slot::kRecord, p.record_offset};
    if (p.prefix == 0) {
      nodes[0].child[0] = nodes[0].child[1] = leaf;
      continue;
    }
    uint32_t node = 0;
    for (int depth = 0; depth < p.prefix - 1; ++depth) {
      const int bit = (p.network >> (31 - depth)) & 1;
      const Slot slot = nodes[node].child[bit];
      if (slot.kind == Slot::kNode) {
        node = slot.value;
        continue;
      }
      const uint32_t split = static_cast<uint32_t>(nodes.size());
      nodes.push_back(TreeNode{{slot, slot}});
      nodes[node].child[bit] = Slot{Slot::kNode, split};
      node = split;
    }
    nodes[node].child[(p.network >> (32 - p.prefix)) & 1] = leaf;
  }

  const uint32_t segments = static_cast<uint32_t>(nodes.size());
  if (uint64_t{segments} + data.size() >= kPointerLimit) return Invalid(u"too large for 3-byte pointers");

  std::vector<uint8_t> file;
  file.reserve(segments * 6 + data.size() + options.info.size() + 10);
  for (const TreeNode& node : nodes) {
    for (const Slot& slot : node.child) {
      switch (slot.kind) {
        case Slot::kNothing: PutLittle24(file, segments); break;
        case Slot::kNode: PutLittle24(file, slot.value); break;
        case Slot::kRecord: PutLittle24(file, segments + slot.value); break;
      }
    }
  }
  file.insert(file.end(), data.begin(), data.end());
  file.insert(file.end(), {0, 0, 0});
  file.insert(file.end(), options.info.begin(), options.info.end());
  file.insert(file.end(), {0xFF, 0xFF, 0xFF, options.database_type});
  PutLittle24(file, segments);
  *out = std::move(file);
  return Status::Ok();
}

std::vector<CityNetwork> SampleCityNetworks() {
  return {
      {"192.0.2.0/26", "US", "NY", "New York", "10001", 40.7128, -74.0060, 501, 212},
      {"192.0.2.64/26", "US", "CA", "San Francisco", "94105", 37.7898, -122.3942, 807, 415},
      {"192.0.2.128/26", "CA", "ON", "Toronto", "M5H", 43.6532, -79.3832, 0, 0},
      {"192.0.2.192/26", "CA", "BC", "Vancouver", "V6B", 49.2827, -123.1207, 0, 0},
      {"198.51.100.0/26", "FR", "A8", "Paris", "75001", 48.8566, 2.3522, 0, 0},
      {"198.51.100.64/26", "FR", "A1", "Dijon", "21000", 47.3220, 5.0415, 0, 0},
      {"198.51.100.128/26", "GB", "H9", "London", "EC1A", 51.5155, -0.0922, 0, 0},
      {"198.51.100.192/26", "GB", "B7", "Bristol", "BS1", 51.4545, -2.5879, 0, 0},
      {"203.0.113.0/26", "DE", "16", "Berlin", "10115", 52.5200, 13.4050, 0, 0},
      {"203.0.113.64/26", "JP", "40", "Tokyo", "100-0001", 35.6762, 139.6503, 0, 0},
      {"203.0.113.128/26", "AU", "02", "Sydney", "2000", -33.8688, 151.2093, 0, 0},
  };
}

std::string SampleCityDatabasePath(Env& env) {
  return env.ExecutableFolder() + "/../share/quillon/GEOIPCITY.DAT";
}

}  // namespace quillon

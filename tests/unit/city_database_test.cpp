// The own city-database reader against libGeoIP: both open the same files, and
// they must agree on whether a file opens (and in which words it is refused)
// and, for each address asked, on whether it is found and on every field.
// The files: the sample, generated ones, records of any bytes, odd trailers,
// and damaged copies (cut short, bytes changed, pointers sent anywhere).
#include <gtest/gtest.h>

#include <GeoIP.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/text.h"
#include "ipinfo/city_countries.h"
#include "ipinfo/city_database.h"
#include "ipinfo/geo_city_writer.h"
#include "libgeoip_city_database.h"
#include "test_support.h"

namespace quillon {
namespace {

using testing::ScratchDir;
using testing::WriteAll;

std::vector<uint8_t> Build(const std::vector<CityNetwork>& networks, CityDatabaseOptions options = {}) {
  std::vector<uint8_t> bytes;
  const Status status = BuildCityDatabase(networks, options, &bytes);
  EXPECT_TRUE(status.ok()) << Utf16ToUtf8(status.description());
  return bytes;
}

uint32_t Little24(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | uint32_t{bytes[at + 2]} << 16;
}
void PutLittle24(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 3; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t SegmentsOf(const std::vector<uint8_t>& bytes) { return Little24(bytes, bytes.size() - 3); }

// The first address of each network, the last, and one either side.
std::vector<uint32_t> Boundaries(const std::vector<CityNetwork>& networks) {
  std::vector<uint32_t> addresses;
  for (const CityNetwork& network : networks) {
    uint32_t first = 0;
    const size_t slash = network.cidr.find('/');
    for (size_t at = 0; at < slash;) {
      const size_t dot = std::min(network.cidr.find('.', at), slash);
      first = first << 8 | static_cast<uint32_t>(std::stoul(network.cidr.substr(at, dot - at)));
      at = dot + 1;
    }
    const int prefix = std::stoi(network.cidr.substr(slash + 1));
    const uint32_t last = first | (prefix >= 32 ? 0u : 0xFFFFFFFFu >> prefix);
    addresses.insert(addresses.end(), {first - 1, first, last, last + 1});
  }
  return addresses;
}

class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  uint32_t Below(uint32_t limit) { return std::uniform_int_distribution<uint32_t>(0, limit - 1)(engine_); }
  uint32_t Any() { return static_cast<uint32_t>(engine_()); }
  // Bytes 1 to 255 (ISO-8859-1 text never holds NUL), empty now and then.
  std::string Text(size_t longest) {
    std::string text(Below(4) == 0 ? 0 : Below(static_cast<uint32_t>(longest) + 1), ' ');
    for (char& c : text) c = static_cast<char>(1 + Below(255));
    return text;
  }
  std::vector<uint32_t> Addresses(size_t count) {
    std::vector<uint32_t> addresses(count);
    for (uint32_t& address : addresses) address = Any();
    return addresses;
  }

 private:
  std::mt19937 engine_;
};

// Networks anywhere, many of them inside others, with texts of any bytes.
std::vector<CityNetwork> RandomNetworks(Random& random, size_t count) {
  std::vector<CityNetwork> networks;
  while (networks.size() < count) {
    // Mostly beneath an earlier network, so that trees split leaves.
    uint32_t address = random.Any();
    int prefix = 1 + static_cast<int>(random.Below(32));
    if (!networks.empty() && random.Below(2) == 0) {
      const uint32_t base = Boundaries({networks[random.Below(static_cast<uint32_t>(networks.size()))]})[1];
      address = base ^ (random.Any() >> 8);
      prefix = std::min(32, prefix + 8);
    }
    address &= prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
    const std::string cidr = std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
                             std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255) + "/" +
                             std::to_string(prefix);
    networks.push_back({cidr, std::string(CityCountryCode(static_cast<uint8_t>(random.Below(255)))),
                        random.Text(3), random.Text(random.Below(8) == 0 ? 120 : 20), random.Text(10),
                        static_cast<double>(random.Below(3600000)) / 10000 - 180,
                        static_cast<double>(random.Below(3600000)) / 10000 - 180,
                        static_cast<int>(random.Below(16777)), static_cast<int>(random.Below(1000))});
  }
  return networks;
}

// 512 networks /9, each with its own record of the given bytes, in a complete
// tree of 511 nodes: records the writer would refuse (any country id, texts
// past 50 bytes, any metro/area field).
std::vector<uint8_t> FlatDatabase(const std::vector<std::vector<uint8_t>>& records, uint8_t type) {
  constexpr uint32_t kNodes = 511;
  std::vector<uint8_t> data{0};
  std::vector<uint32_t> offsets;
  for (const std::vector<uint8_t>& record : records) {
    offsets.push_back(static_cast<uint32_t>(data.size()));
    data.insert(data.end(), record.begin(), record.end());
  }
  std::vector<uint8_t> file(kNodes * 6);
  for (uint32_t node = 0; node < kNodes; ++node) {
    for (uint32_t side = 0; side < 2; ++side) {
      const uint32_t child = 2 * node + 1 + side;
      PutLittle24(file, node * 6 + side * 3, child < kNodes ? child : kNodes + offsets[child - kNodes]);
    }
  }
  file.insert(file.end(), data.begin(), data.end());
  file.insert(file.end(), {0, 0, 0, 'f', 'l', 'a', 't', 0xFF, 0xFF, 0xFF, type, 0, 0, 0});
  PutLittle24(file, file.size() - 3, kNodes);
  return file;
}

std::vector<std::vector<uint8_t>> AnyRecords(Random& random, bool rev1) {
  std::vector<std::vector<uint8_t>> records;
  for (uint32_t slot = 0; slot < 512; ++slot) {
    // Every country id once, then US records with metro/area fields of any value.
    const uint8_t country = slot < 256 ? static_cast<uint8_t>(slot) : kCityUnitedStatesId;
    std::vector<uint8_t> record{country};
    for (size_t longest : {4, 90, 12}) {
      const std::string text = random.Text(longest);
      record.insert(record.end(), text.begin(), text.end());
      record.push_back(0);
    }
    const uint32_t extremes[] = {0, 999, 1000, 16776999, 0xFFFFFF};
    for (int i = 0; i < 6; ++i) record.push_back(static_cast<uint8_t>(random.Any()));
    if (rev1 && country == kCityUnitedStatesId) {
      const uint32_t combo = slot >= 256 && slot < 261 ? extremes[slot - 256] : random.Below(1 << 24);
      for (int i = 0; i < 3; ++i) record.push_back(static_cast<uint8_t>(combo >> (8 * i)));
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::string Describe(bool found, const CityRecord& r) {
  if (!found) return "not found";
  return r.country_code + "|" + r.country_name + "|" + r.region + "|" + r.city + "|" + r.postal_code + "|" +
         std::to_string(r.area_code);
}

class ReadersAgree : public ::testing::Test {
 protected:
  // Both readers open `bytes`; any difference fails the test, named by `what`.
  // True when both opened it.
  bool Compare(const std::string& what, const std::vector<uint8_t>& bytes, const std::vector<uint32_t>& addresses) {
    // A new name each time: rewriting one file in place makes ext4 write it out
    // on every close, which took seconds over a few thousand files.
    const std::string path = dir_.File(std::to_string(files_++) + ".dat");
    WriteAll(path, bytes);
    std::unique_ptr<CityDatabase> own, oracle;
    const Status own_status = OpenCityDatabase(DefaultEnv(), path, &own);
    const Status oracle_status = OpenCityDatabaseWithLibGeoIP(DefaultEnv(), path, &oracle);
    EXPECT_EQ(Utf16ToUtf8(own_status.description()), Utf16ToUtf8(oracle_status.description())) << what;
    EXPECT_EQ(own_status.number(), oracle_status.number()) << what;
    std::filesystem::remove(path);
    if (!own_status.ok() || !oracle_status.ok()) return false;
    int differences = 0;
    for (const uint32_t address : addresses) {
      CityRecord own_record, oracle_record;
      const bool own_found = own->Find(address, &own_record);
      const bool oracle_found = oracle->Find(address, &oracle_record);
      const std::string own_answer = Describe(own_found, own_record);
      const std::string oracle_answer = Describe(oracle_found, oracle_record);
      if (own_answer != oracle_answer && ++differences <= 3) {
        ADD_FAILURE() << what << ", address " << address << ": own " << own_answer << ", libGeoIP " << oracle_answer;
      }
    }
    return true;
  }

  ScratchDir dir_;
  int files_ = 0;
};

TEST_F(ReadersAgree, WellFormedDatabases) {
  Random random(20240611);
  EXPECT_TRUE(Compare("sample", Build(SampleCityNetworks()), Boundaries(SampleCityNetworks())));

  for (const uint8_t type : {kCityEditionRev1, kCityEditionRev0}) {
    const std::vector<CityNetwork> networks = RandomNetworks(random, 3000);
    std::vector<uint32_t> addresses = Boundaries(networks);
    const std::vector<uint32_t> more = random.Addresses(3000);
    addresses.insert(addresses.end(), more.begin(), more.end());
    EXPECT_TRUE(Compare("random networks, type " + std::to_string(type), Build(networks, {type, "random"}), addresses));
  }

  // Files from before 2003 add 105 to the type.
  for (const uint8_t type : {kCityEditionRev1, kCityEditionRev0, uint8_t{107}, uint8_t{111}}) {
    std::vector<uint32_t> addresses = random.Addresses(2000);
    for (uint32_t slot = 0; slot < 512; ++slot) addresses.push_back(slot << 23);
    EXPECT_TRUE(Compare("records of any bytes, type " + std::to_string(type),
                        FlatDatabase(AnyRecords(random, type % 105 == kCityEditionRev1), type), addresses));
  }
}

TEST_F(ReadersAgree, WritersStoreTheCountryIdsLibGeoIPKnows) {
  for (int id = 0; id < 256; ++id) {
    const std::string code(CityCountryCode(static_cast<uint8_t>(id)));
    EXPECT_EQ(CityCountryId(code), GeoIP_id_by_code(code.c_str())) << code;
  }
  EXPECT_EQ(CityCountryId("XK"), std::nullopt);
  EXPECT_EQ(CityCountryId(""), std::nullopt);
}

TEST_F(ReadersAgree, Trailers) {
  Random random(7);
  const std::vector<uint8_t> sample = Build(SampleCityNetworks());
  const std::vector<uint32_t> addresses = Boundaries(SampleCityNetworks());

  // Up to 15 bytes may follow the block; a 16th hides it.
  for (size_t extra = 0; extra <= 17; ++extra) {
    std::vector<uint8_t> bytes = sample;
    for (size_t i = 0; i < extra; ++i) bytes.push_back(static_cast<uint8_t>(random.Below(255)));
    EXPECT_EQ(Compare("bytes after the block: " + std::to_string(extra), bytes, addresses), extra <= 15);
  }
  EXPECT_TRUE(Compare("no info block", Build(SampleCityNetworks(), {kCityEditionRev1, ""}), addresses));
  for (int type = 0; type < 256; ++type) {
    std::vector<uint8_t> bytes = sample;
    bytes[bytes.size() - 4] = static_cast<uint8_t>(type);
    Compare("type " + std::to_string(type), bytes, addresses);
  }
  for (const uint32_t segments : {0u, 1u, SegmentsOf(sample) - 1, SegmentsOf(sample) + 1,
                                  static_cast<uint32_t>(sample.size() / 6), static_cast<uint32_t>(sample.size() / 6 + 1),
                                  static_cast<uint32_t>(sample.size() / 8 + 1), 0xFFFFFFu}) {
    for (const uint8_t type : {uint8_t{kCityEditionRev1}, uint8_t{5}, uint8_t{9}}) {  // City, a 4-byte tree, a 3-byte one
      std::vector<uint8_t> bytes = sample;
      bytes[bytes.size() - 4] = type;
      PutLittle24(bytes, bytes.size() - 3, segments);
      Compare("type " + std::to_string(type) + ", " + std::to_string(segments) + " nodes", bytes, addresses);
    }
  }
  // Short files, with a block at every place and of every length the file allows.
  for (size_t size = 0; size <= 30; ++size) {
    for (size_t at = 0; at <= size; ++at) {
      std::vector<uint8_t> bytes(size, 0);
      for (size_t i = at; i < std::min(size, at + 3); ++i) bytes[i] = 0xFF;
      if (at + 3 < size) bytes[at + 3] = random.Below(2) == 0 ? kCityEditionRev1 : 1;
      Compare(std::to_string(size) + " bytes, block at " + std::to_string(at), bytes, {0, 1, 0x80000000u});
    }
  }
}

TEST_F(ReadersAgree, DamagedDatabases) {
  Random random(99);
  const std::vector<uint8_t> sample = Build(SampleCityNetworks());
  const uint32_t segments = SegmentsOf(sample);
  std::vector<uint32_t> addresses = Boundaries(SampleCityNetworks());
  const std::vector<uint32_t> more = random.Addresses(40);
  addresses.insert(addresses.end(), more.begin(), more.end());

  for (size_t size = 0; size < sample.size(); ++size) {
    Compare("cut to " + std::to_string(size), std::vector<uint8_t>(sample.begin(), sample.begin() + size), addresses);
  }
  const std::vector<CityNetwork> networks = RandomNetworks(random, 300);
  const std::vector<uint8_t> larger = Build(networks);
  for (size_t cut = 1; cut < larger.size(); cut += 1 + random.Below(97)) {
    Compare("larger cut to " + std::to_string(cut), std::vector<uint8_t>(larger.begin(), larger.begin() + cut),
            Boundaries(networks));
  }

  int opened = 0;
  for (size_t at = 0; at < sample.size(); ++at) {
    for (const int change : {0x00, 0xFF, 0x101, 0x180, 0x200}) {  // set, set, flip, flip, random
      std::vector<uint8_t> bytes = sample;
      bytes[at] = change < 0x100   ? static_cast<uint8_t>(change)
                  : change < 0x200 ? static_cast<uint8_t>(bytes[at] ^ (change & 0xFF))
                                   : static_cast<uint8_t>(random.Any());
      opened += Compare("byte " + std::to_string(at) + " changed", bytes, addresses);
    }
  }
  EXPECT_GT(opened, 0) << "some changes leave a database that opens";

  // Tree pointers to every node, to nothing, and to a record at every offset
  // of the file: loops, records cut off by the end or running into the trailer.
  for (uint32_t target = 0; target < sample.size(); ++target) {
    for (int i = 0; i < 2; ++i) {
      std::vector<uint8_t> bytes = sample;
      const uint32_t slot = random.Below(segments * 2);
      const uint32_t value = target < segments * 6 ? target / 6 : target - segments * 5;
      PutLittle24(bytes, slot * 3, value);
      Compare("pointer " + std::to_string(slot) + " to " + std::to_string(value), bytes, addresses);
    }
  }
  for (const uint32_t value : {segments, segments + 1, 0xFFFFFFu, static_cast<uint32_t>(sample.size())}) {
    std::vector<uint8_t> bytes = sample;
    PutLittle24(bytes, 0, value);
    Compare("root pointer to " + std::to_string(value), bytes, addresses);
  }
}

}  // namespace
}  // namespace quillon

#include "ipinfo/geo_city_locator.h"

#include <GeoIP.h>
#include <GeoIPCity.h>

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "core/text.h"
#include "core/ipv4_text.h"

namespace quillon {
namespace {

constexpr int kMaxTreeDepth = 32;  // one node per address bit
constexpr uint8_t kUnitedStatesId = 225;

struct GeoIPCloser {
  void operator()(GeoIP* handle) const { GeoIP_delete(handle); }
};
struct RecordDeleter {
  void operator()(GeoIPRecord* record) const { GeoIPRecord_delete(record); }
};

// The database stores ISO-8859-1, and libGeoIP hands it out unconverted.
std::u16string Latin1ToText(const char* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) out.push_back(*p);
  return out;
}

uint32_t Little24(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

// libGeoIP trusts the file: a lookup follows tree pointers and scans record
// strings without bounds. This walks everything a lookup can reach, once, so
// that no lookup can read outside the file, loop, or run out of address bits.
class StructureCheck {
 public:
  StructureCheck(const uint8_t* data, size_t size, uint32_t segments, bool rev1)
      : data_(data), size_(size), segments_(segments), rev1_(rev1) {}

  // "" when sound, else what is wrong.
  std::u16string Run() {
    if (segments_ == 0) return u"it has no search tree";
    if (uint64_t{segments_} * 6 > size_) return u"its search tree is larger than the file";
    // Sized only now: the count is the file's word, up to 16 million nodes.
    height_.assign(segments_, 0);
    return Visit(0, 1);
  }

 private:
  static constexpr uint8_t kInProgress = 0xFF;

  std::u16string Visit(uint32_t node, int depth) {
    if (depth > kMaxTreeDepth) return u"its search tree is deeper than 32 levels";
    height_[node] = kInProgress;
    uint8_t height = 1;
    for (int side = 0; side < 2; ++side) {
      const uint32_t pointer = Little24(data_ + uint64_t{node} * 6 + side * 3);
      if (pointer == segments_) continue;  // not in the database
      if (pointer > segments_) {
        if (!RecordFits(uint64_t{pointer} + uint64_t{segments_} * 5)) return u"a record lies outside the file";
        continue;
      }
      if (height_[pointer] == kInProgress) return u"its search tree loops";
      if (height_[pointer] == 0) {
        std::u16string problem = Visit(pointer, depth + 1);
        if (!problem.empty()) return problem;
      }
      if (depth + height_[pointer] > kMaxTreeDepth) return u"its search tree is deeper than 32 levels";
      height = std::max<uint8_t>(height, static_cast<uint8_t>(height_[pointer] + 1));
    }
    height_[node] = height;
    return {};
  }

  // Country byte, three NUL-terminated texts, latitude and longitude, and the
  // metro/area field that rev 1 files carry for US records.
  bool RecordFits(uint64_t offset) {
    if (checked_records_.count(offset) != 0) return true;
    if (offset >= size_) return false;
    const uint8_t country = data_[offset];
    uint64_t at = offset + 1;
    for (int text = 0; text < 3; ++text) {
      while (at < size_ && data_[at] != 0) ++at;
      if (at >= size_) return false;
      ++at;
    }
    at += 6;
    if (rev1_ && country == kUnitedStatesId) at += 3;
    if (at > size_) return false;
    checked_records_.insert(offset);
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  uint32_t segments_;
  bool rev1_;
  std::vector<uint8_t> height_;  // 0 = not seen yet
  std::unordered_set<uint64_t> checked_records_;
};

Status DatabaseProblem(std::u16string what, std::u16string_view path) {
  return Status::Error(rt::kPathFileAccessError, u"The location database " + what + u": " + std::u16string(path));
}

}  // namespace

struct GeoCityLocator::Database {
  std::unique_ptr<GeoIP, GeoIPCloser> handle;
};

GeoCityLocator::GeoCityLocator(Env& env) : env_(env) {}

GeoCityLocator::~GeoCityLocator() = default;

Status GeoCityLocator::SetDatabaseFolder(std::u16string_view folder, std::u16string_view file_name) {
  database_.reset();
  found_ = Found{};

  std::u16string full_path(folder);
  full_path.append(file_name);
  std::string path;
  if (!PathFromText(full_path, &path).ok()) return DatabaseProblem(u"cannot be a file name", full_path);
  // A FIFO or device would block or never end when read whole.
  if (env_.KindOf(path) != PathKind::kFile) return DatabaseProblem(u"is not a regular file", full_path);

  // Memory caching: libGeoIP's plain mode misreads records longer than 50 bytes.
  std::unique_ptr<GeoIP, GeoIPCloser> handle(GeoIP_open(env_.FullPath(path).c_str(), GEOIP_MEMORY_CACHE | GEOIP_SILENCE));
  if (!handle || handle->cache == nullptr || handle->databaseSegments == nullptr) {
    return DatabaseProblem(u"cannot be read", full_path);
  }
  const unsigned char edition = GeoIP_database_edition(handle.get());
  if (edition != GEOIP_CITY_EDITION_REV1 && edition != GEOIP_CITY_EDITION_REV0) {
    return DatabaseProblem(u"is not a GeoIP City database", full_path);
  }
  // Checked on the very bytes and segment count the lookups will use.
  StructureCheck check(handle->cache, static_cast<size_t>(handle->size), handle->databaseSegments[0],
                       edition == GEOIP_CITY_EDITION_REV1);
  if (std::u16string problem = check.Run(); !problem.empty()) {
    return DatabaseProblem(u"is damaged (" + problem + u")", full_path);
  }
  database_ = std::make_unique<Database>();
  database_->handle = std::move(handle);
  return Status::Ok();
}

bool GeoCityLocator::FindAddress(std::u16string_view address) {
  found_ = Found{};
  if (!database_) return false;
  // libGeoIP's own text lookup turns malformed text into 0.0.0.0, so the text
  // is read here and the lookup made by number.
  const std::optional<uint32_t> number = ParseIPv4Text(address);
  if (!number) return false;
  std::unique_ptr<GeoIPRecord, RecordDeleter> record(GeoIP_record_by_ipnum(database_->handle.get(), *number));
  if (!record) return false;
  found_.country_code = Latin1ToText(record->country_code);
  found_.country_name = Latin1ToText(record->country_name);
  found_.region = Latin1ToText(record->region);
  found_.city = Latin1ToText(record->city);
  found_.postal_code = Latin1ToText(record->postal_code);
  found_.area_code = record->area_code;
  return true;
}

}  // namespace quillon

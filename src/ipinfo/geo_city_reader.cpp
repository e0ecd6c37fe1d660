// This system's reader of city databases: the whole file in memory, checked once
// when opened so that lookups may trust every pointer and text in it.
#include "ipinfo/city_database.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "ipinfo/city_countries.h"

namespace quillon {
namespace {

constexpr int kMaxTreeDepth = 32;                      // one node per address bit
constexpr uint64_t kPointerLimit = uint64_t{1} << 24;  // tree pointers are 3 bytes wide

uint32_t Little24(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

Status Problem(std::u16string what) { return Status::Error(rt::kPathFileAccessError, std::move(what)); }

// A lookup follows tree pointers and scans record texts without bounds. This
// walks everything a lookup can reach, once, so that no lookup can read outside
// the file, loop, or run out of address bits.
class StructureCheck {
 public:
  StructureCheck(std::span<const uint8_t> file, uint32_t segments, bool rev1)
      : file_(file), segments_(segments), rev1_(rev1) {}

  // "" when sound, else what is wrong.
  std::u16string Run() {
    if (segments_ == 0) return u"it has no search tree";
    if (uint64_t{segments_} * 6 > file_.size()) return u"its search tree is larger than the file";
    // Sized only now: the count is the file's word, up to 16 million nodes.
    height_.assign(segments_, 0);
    // A record starts at a 3-byte pointer plus 5 bytes a node, so below this.
    record_checked_.assign(std::min<uint64_t>(file_.size(), kPointerLimit + uint64_t{segments_} * 5), false);
    return Visit(0, 1);
  }

 private:
  static constexpr uint8_t kInProgress = 0xFF;

  std::u16string Visit(uint32_t node, int depth) {
    if (depth > kMaxTreeDepth) return u"its search tree is deeper than 32 levels";
    height_[node] = kInProgress;
    uint8_t height = 1;
    for (int side = 0; side < 2; ++side) {
      const uint32_t pointer = Little24(file_.data() + uint64_t{node} * 6 + side * 3);
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
    if (offset >= file_.size()) return false;
    if (record_checked_[offset]) return true;
    const uint8_t country = file_[offset];
    uint64_t at = offset + 1;
    for (int text = 0; text < 3; ++text) {
      while (at < file_.size() && file_[at] != 0) ++at;
      if (at >= file_.size()) return false;
      ++at;
    }
    at += 6;
    if (rev1_ && country == kCityUnitedStatesId) at += 3;
    if (at > file_.size()) return false;
    record_checked_[offset] = true;
    return true;
  }

  std::span<const uint8_t> file_;
  uint32_t segments_;
  bool rev1_;
  std::vector<uint8_t> height_;  // 0 = not seen yet
  std::vector<bool> record_checked_;
};

Status CannotBeRead() { return Problem(u"cannot be read"); }
Status NotCityDatabase() { return Problem(u"is not a GeoIP City database"); }

// What each type byte 0 to 38 names: '-' nothing (the file cannot be read), 'n'
// an edition without a node count, '3' or '4' one whose node count follows and
// whose tree pointers are that many bytes wide. The format comes with libGeoIP,
// and which files libGeoIP refuses outright and which it opens as another
// edition decided the words scripts see; this keeps them.
constexpr std::string_view kEditions = "-n3n443nn3n4n33--nn--3444-3333333333333";
static_assert(kEditions.size() == 39);

struct Layout {
  uint32_t segments = 0;
  bool rev1 = false;
};

// The structure-info block: FF FF FF, the type byte, and for most editions the
// node count (3 bytes). Looked for from 3 bytes before the end back over 20
// places, so at most 15 bytes may follow it. A file without one is a Country
// database, except a short one: the search steps back past its first byte and
// fails.
Status ReadLayout(std::span<const uint8_t> file, Layout* layout) {
  if (file.size() < 3) return CannotBeRead();
  size_t at = file.size() - 3;
  for (int place = 1; file[at] != 0xFF || file[at + 1] != 0xFF || file[at + 2] != 0xFF; ++place) {
    if (at == 0) return CannotBeRead();
    if (place == 20) return NotCityDatabase();
    --at;
  }
  if (at + 3 >= file.size()) return CannotBeRead();
  unsigned type = file[at + 3];
  // Files from before 2003 add 105. libGeoIP keeps the byte signed, so 128 and
  // above stay unknown.
  if (type >= 106 && type < 128) type -= 105;
  const char edition = type < kEditions.size() ? kEditions[type] : '-';
  if (edition == '-') return CannotBeRead();
  if (edition == 'n') return NotCityDatabase();
  if (at + 7 > file.size()) return CannotBeRead();
  const uint32_t segments = Little24(file.data() + at + 4);
  if (uint64_t{segments} * 2 * static_cast<unsigned>(edition - '0') > file.size()) return CannotBeRead();
  if (type != kCityEditionRev1 && type != kCityEditionRev0) return NotCityDatabase();
  layout->segments = segments;
  layout->rev1 = type == kCityEditionRev1;
  return Status::Ok();
}

class GeoCityReader final : public CityDatabase {
 public:
  GeoCityReader(std::vector<uint8_t> file, const Layout& layout)
      : file_(std::move(file)), segments_(layout.segments), rev1_(layout.rev1) {}

  bool Find(uint32_t address, CityRecord* record) const override {
    const uint8_t* const bytes = file_.data();
    uint32_t node = 0;
    for (int bit = 31; bit >= 0; --bit) {
      const uint32_t pointer = Little24(bytes + size_t{node} * 6 + ((address >> bit) & 1) * 3);
      if (pointer < segments_) {
        node = pointer;
        continue;
      }
      if (pointer == segments_) return false;
      ReadRecord(bytes + pointer + size_t{segments_} * 5, record);
      return true;
    }
    return false;  // the structure check lets no path run past the last bit
  }

 private:
  void ReadRecord(const uint8_t* at, CityRecord* record) const {
    const uint8_t country = *at++;
    record->country_code = CityCountryCode(country);
    record->country_name = CityCountryName(country);
    for (std::string* text : {&record->region, &record->city, &record->postal_code}) {
      // The structure check found this text's NUL inside the file.
      const char* start = reinterpret_cast<const char*>(at);
      const size_t length = std::strlen(start);
      text->assign(start, length);
      at += length + 1;
    }
    // Latitude and longitude (6 bytes) go unasked.
    record->area_code =
        rev1_ && country == kCityUnitedStatesId ? static_cast<int32_t>(Little24(at + 6) % 1000) : 0;
  }

  std::vector<uint8_t> file_;
  uint32_t segments_;
  bool rev1_;
};

// The whole file, or a failure when any of it cannot be had.
Status ReadWholeFile(Env& env, const std::string& path, std::vector<uint8_t>* bytes) {
  std::unique_ptr<RandomAccessFile> file;
  if (Status s = env.OpenRead(path, &file); !s.ok()) return s;
  uint64_t size = 0;
  if (Status s = file->Size(&size); !s.ok()) return s;
  if (size > bytes->max_size()) return Status::Error(rt::kOutOfMemory);
  bytes->resize(static_cast<size_t>(size));
  for (size_t done = 0; done < bytes->size();) {
    size_t read = 0;
    if (Status s = file->Read(done, std::span(*bytes).subspan(done), &read); !s.ok()) return s;
    if (read == 0) return CannotBeRead();  // it shrank
    done += read;
  }
  return Status::Ok();
}

}  // namespace

Status CheckCityDatabaseStructure(std::span<const uint8_t> file, uint32_t segments, bool rev1) {
  const std::u16string problem = StructureCheck(file, segments, rev1).Run();
  return problem.empty() ? Status::Ok() : Problem(u"is damaged (" + problem + u")");
}

Status OpenCityDatabase(std::vector<uint8_t> file, std::unique_ptr<CityDatabase>* database) {
  Layout layout;
  if (Status s = ReadLayout(file, &layout); !s.ok()) return s;
  if (Status s = CheckCityDatabaseStructure(file, layout.segments, layout.rev1); !s.ok()) return s;
  *database = std::make_unique<GeoCityReader>(std::move(file), layout);
  return Status::Ok();
}

Status OpenCityDatabase(Env& env, const std::string& path, std::unique_ptr<CityDatabase>* database) {
  std::vector<uint8_t> file;
  if (!ReadWholeFile(env, path, &file).ok()) return CannotBeRead();
  return OpenCityDatabase(std::move(file), database);
}

}  // namespace quillon

#include "ipinfo/geo_city_locator.h"

#include "core/ipv4_text.h"
#include "core/text.h"

namespace quillon {
namespace {

// The database stores ISO-8859-1, and it is handed out unconverted.
std::u16string Latin1ToText(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char byte : text) out.push_back(static_cast<uint8_t>(byte));
  return out;
}

Status DatabaseProblem(std::u16string_view what, std::u16string_view path) {
  return Status::Error(rt::kPathFileAccessError,
                       u"The location database " + std::u16string(what) + u": " + std::u16string(path));
}

}  // namespace

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

  std::unique_ptr<CityDatabase> database;
  if (Status s = OpenCityDatabase(env_, path, &database); !s.ok()) return DatabaseProblem(s.description(), full_path);
  database_ = std::move(database);
  return Status::Ok();
}

bool GeoCityLocator::FindAddress(std::u16string_view address) {
  found_ = Found{};
  if (!database_) return false;
  const std::optional<uint32_t> number = ParseIPv4Text(address);
  if (!number) return false;
  CityRecord record;
  if (!database_->Find(*number, &record)) return false;
  found_.country_code = Latin1ToText(record.country_code);
  found_.country_name = Latin1ToText(record.country_name);
  found_.region = Latin1ToText(record.region);
  found_.city = Latin1ToText(record.city);
  found_.postal_code = Latin1ToText(record.postal_code);
  found_.area_code = record.area_code;
  return true;
}

}  // namespace quillon

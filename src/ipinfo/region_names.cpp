#include "ipinfo/region_names.h"

#include "core/text.h"
#include "resources/region_table_resource.h"

namespace quillon {

std::u16string LoadRegionTable() {
  const std::span<const uint8_t> bytes = RegionTableResource();
  return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::u16string RegionName(std::u16string_view table, std::u16string_view country_code,
                          std::u16string_view region_code) {
  if (country_code == u"US" || country_code == u"CA") return std::u16string(region_code);
  if (country_code.empty() || region_code.empty()) return {};

  // The key is matched only where a record starts and only with the comma that
  // ends a region code, so a code such as "A" or one holding "," or "*" cannot
  // land inside another record and return part of it.
  std::u16string key;
  key.append(country_code).append(u",").append(region_code).append(u",");
  size_t at = table.find(key);
  while (at != std::u16string_view::npos && at != 0 && table[at - 1] != u'*') {
    at = table.find(key, at + 1);
  }
  if (at == std::u16string_view::npos) return {};

  const size_t name_start = at + key.size();
  const size_t end = table.find(u'*', name_start);
  if (end == std::u16string_view::npos) return {};
  return std::u16string(table.substr(name_start, end - name_start));
}

}  // namespace quillon

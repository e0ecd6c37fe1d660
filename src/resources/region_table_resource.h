// The region-name table the server carries (resource FIPSLIST): records
// "CC,RR,Name", each followed by "*", with two NUL bytes after the last one.
// The bytes are packed at build time from fipslist.txt beside this header.
#pragma once

#include <cstdint>
#include <span>

namespace quillon {

// The resource exactly as carried, the two trailing NUL bytes included.
std::span<const uint8_t> RegionTableResource();

}  // namespace quillon

// Little-endian integers inside byte arrays, as file formats (gzip among them)
// store them.
#pragma once

#include <cstdint>
#include <span>

namespace quillon {

// The long formed by bytes 0 to 3. Bytes the array lacks count as 0, so a short
// array from a damaged file cannot make the reader run past its end.
inline int32_t ArrayToLong(std::span<const uint8_t> bytes) {
  uint32_t pattern = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) pattern |= uint32_t{bytes[i]} << (8 * i);
  return static_cast<int32_t>(pattern);
}

// The 16-bit integer formed by bytes 0 and 1, with the same rule for short arrays.
inline int16_t ArrayToInteger(std::span<const uint8_t> bytes) {
  uint16_t pattern = 0;
  for (size_t i = 0; i < 2 && i < bytes.size(); ++i) pattern |= static_cast<uint16_t>(bytes[i] << (8 * i));
  return static_cast<int16_t>(pattern);
}

}  // namespace quillon

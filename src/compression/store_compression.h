// Store compression: a store's bytes replaced by a bare zlib stream (no size
// field, no marker) and back. The caller keeps the original size; decompression
// is sized from it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillon {

// Result codes of the two helpers: zlib's own negative codes, and this one for a
// failure of the helper itself (no buffer, a capacity beyond 32 bits, a size no
// buffer can have).
inline constexpr int32_t kZipHelperFailure = -7;

// Output space offered to zlib for an input (or expected output) of `size`
// bytes: size * 0.01 + size + 12, rounded half to even. Negative for an expected
// size of -13 or less; callers treat anything outside 0..INT32_MAX as unusable.
double ZipCapacity(double size);

// Compresses `bytes` in place at level 9. Returns the new length, or a negative
// code with `bytes` untouched.
int32_t CompressBytes(std::vector<uint8_t>& bytes);

// Restores `bytes` in place from a zlib stream whose original was about
// `expected_size` bytes. Returns 0, or a negative code with `bytes` untouched.
int32_t UncompressBytes(std::vector<uint8_t>& bytes, int32_t expected_size);

// The ErrorString text for a code of the helpers.
std::u16string_view ZipErrorText(int32_t code);

}  // namespace quillon

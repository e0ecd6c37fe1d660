#include "compression/store_compression.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "core/convert.h"

namespace quillon {
namespace {

// Deflate expands at most 1032 to 1 (a 258-byte match in two bits), so a zlib
// stream in n bytes never inflates to (n + 1) * 1032 bytes.
constexpr double kMostExpansion = 1032;

bool UsableCapacity(double capacity) { return capacity >= 0 && capacity <= std::numeric_limits<int32_t>::max(); }

// The working buffer is one byte longer than what zlib is told (zlib never
// touches the spare byte), so a capacity of 0 still gets a buffer of its own.
// Left uninitialised: only what zlib writes is ever touched.
bool MakeBuffer(double capacity, std::unique_ptr<uint8_t[]>* buffer, uLongf* length) {
  if (!UsableCapacity(capacity)) return false;
  try {
    *buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(capacity) + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  *length = static_cast<uLongf>(capacity);
  return true;
}

// Moves the first `length` bytes of the buffer into `bytes`; false when the
// copy cannot be made (the caller's bytes stay as they were).
bool TakeResult(const uint8_t* buffer, uLongf length, std::vector<uint8_t>& bytes) {
  try {
    std::vector<uint8_t> result(buffer, buffer + length);
    bytes.swap(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

double ZipCapacity(double size) { return RoundHalfEven(size * 0.01 + size + 12); }

int32_t CompressBytes(std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> buffer;
  uLongf length = 0;
  if (!MakeBuffer(ZipCapacity(static_cast<double>(bytes.size())), &buffer, &length)) return kZipHelperFailure;
  const int result = compress2(buffer.get(), &length, bytes.data(), static_cast<uLong>(bytes.size()), 9);
  if (result < 0) return result;
  if (length > static_cast<uLongf>(std::numeric_limits<int32_t>::max())) return kZipHelperFailure;
  if (!TakeResult(buffer.get(), length, bytes)) return kZipHelperFailure;
  return static_cast<int32_t>(length);
}

int32_t UncompressBytes(std::vector<uint8_t>& bytes, int32_t expected_size) {
  const double capacity = ZipCapacity(expected_size);
  if (!UsableCapacity(capacity)) return kZipHelperFailure;
  // The expected size is the client's guess, and a guess of 2 GiB for a few
  // bytes would take a 2 GiB buffer. Room the stream can never fill is left out:
  // with the output unable to reach the end of either buffer, zlib answers the
  // same, and a store that does not fit the guess still gets Z_BUF_ERROR.
  const double most_output = (static_cast<double>(bytes.size()) + 1) * kMostExpansion;
  std::unique_ptr<uint8_t[]> buffer;
  uLongf length = 0;
  if (!MakeBuffer(std::min(capacity, most_output), &buffer, &length)) return kZipHelperFailure;
  const int result = uncompress(buffer.get(), &length, bytes.data(), static_cast<uLong>(bytes.size()));
  if (result < 0) return result;
  if (!TakeResult(buffer.get(), length, bytes)) return kZipHelperFailure;
  return 0;
}

std::u16string_view ZipErrorText(int32_t code) {
  switch (code) {
    case Z_ERRNO: return u"Zip error: Error reading or writing the files";
    case Z_STREAM_ERROR: return u"Zip error: Compression level parameter invalid";
    case Z_DATA_ERROR: return u"Zip error: Input data corrupt";
    case Z_MEM_ERROR: return u"Zip error: Insufficient memory";
    case Z_BUF_ERROR: return u"Zip error: Output buffer too small";
    case Z_VERSION_ERROR: return u"Zip error: ZLib library version is incompatible";
    default: return u"Unknown error with zip operation";
  }
}

}  // namespace quillon

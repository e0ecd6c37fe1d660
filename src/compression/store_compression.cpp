#include "compression/store_compression.h"

#include <zlib.h>

#include <limits>
#include <memory>
#include <new>

#include "host/convert.h"

namespace quillon {
namespace {

// The working buffer is one byte longer than what zlib is told, as the original
// layout had it. Left uninitialised: an expected size far above the real one
// (a client's guess) then costs address space, not memory that is ever touched.
bool MakeBuffer(double capacity, std::unique_ptr<uint8_t[]>* buffer, uLongf* length) {
  if (!(capacity >= 0) || capacity > std::numeric_limits<int32_t>::max()) return false;
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
  std::unique_ptr<uint8_t[]> buffer;
  uLongf length = 0;
  if (!MakeBuffer(ZipCapacity(expected_size), &buffer, &length)) return kZipHelperFailure;
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

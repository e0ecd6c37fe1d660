#include "compression/gzip_file.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "core/atomic_save.h"
#include "core/convert.h"
#include "core/errors.h"
#include "core/little_endian.h"
#include "core/text.h"

namespace quillon {
namespace {

constexpr uint8_t kId1 = 0x1F;
constexpr uint8_t kId2 = 0x8B;
constexpr uint8_t kDeflate = 8;
constexpr uint8_t kFlagExtra = 4;
constexpr uint8_t kFlagName = 8;
constexpr uint8_t kOsUnknown = 255;
constexpr size_t kFixedHeader = 10;

// Source and output pass through buffers of this size.
constexpr size_t kPiece = size_t{256} << 10;

// The deflate state, ended however the compression ends.
class Deflater {
 public:
  Deflater() {
    // Raw deflate, as the header and trailer are written here, at level 9 with
    // zlib's default window, memory level and strategy: the settings of zlib's
    // own gzip writer, so archives keep their bytes.
    if (deflateInit2(&stream_, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

// The inflate state for gzip members (zlib reads and checks their headers and
// trailers), ended however the extraction ends.
class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

void PutLe32(uint32_t value, uint8_t* out) {
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Writes the whole gzip file into `out`: `header`, the deflate data, the trailer.
GzipWriteOutcome Compress(RandomAccessFile& source, uint64_t size, RandomAccessFile& out,
                          std::span<const uint8_t> header, Status* source_error) {
  Deflater deflater;
  z_stream& stream = deflater.stream();
  std::vector<uint8_t> input(kPiece);
  std::vector<uint8_t> packed(kPiece);
  if (!out.Write(0, header).ok()) return GzipWriteOutcome::kCannotWrite;
  uint64_t written = header.size();
  uint64_t taken = 0;
  uLong crc = crc32(0, nullptr, 0);
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    const auto ask = static_cast<size_t>(std::min<uint64_t>(kPiece, size - taken));
    size_t got = 0;
    if (ask > 0) {
      const Status read = source.Read(taken, std::span(input.data(), ask), &got);
      if (!read.ok()) {
        *source_error = read;
        return GzipWriteOutcome::kFileError;
      }
    }
    taken += got;
    crc = crc32(crc, input.data(), static_cast<uInt>(got));
    // A short read is the end of a source that shrank: what was read is the file.
    flush = got < ask || taken == size ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = packed.data();
      stream.avail_out = static_cast<uInt>(packed.size());
      deflate(&stream, flush);  // cannot fail with both buffers valid
      const size_t count = packed.size() - stream.avail_out;
      if (count > 0) {
        if (!out.Write(written, std::span(packed.data(), count)).ok()) return GzipWriteOutcome::kCannotWrite;
        written += count;
      }
    } while (stream.avail_out == 0);
  }
  // The CRC-32 and the size modulo 2^32, as gzip writes them for any size.
  uint8_t trailer[8];
  PutLe32(static_cast<uint32_t>(crc), trailer);
  PutLe32(static_cast<uint32_t>(taken), trailer + 4);
  if (!out.Write(written, trailer).ok()) return GzipWriteOutcome::kCannotWrite;
  return GzipWriteOutcome::kOk;
}

}  // namespace

GzipHeader ParseGzipHeader(std::span<const uint8_t> head, bool take_name) {
  GzipHeader header;
  auto verdict = [&](GzipHeader::Verdict v) {
    header.verdict = v;
    header.mtime = 0;
    header.name.reset();
    return header;
  };
  if (head.size() < kFixedHeader) return verdict(GzipHeader::Verdict::kTruncated);
  if (head[0] != kId1 || head[1] != kId2 || head[2] != kDeflate) return verdict(GzipHeader::Verdict::kNotGzip);
  if (!take_name) return header;

  header.mtime = ArrayToLong(head.subspan<4, 4>());
  const uint8_t flags = head[3];
  size_t start = kFixedHeader;
  if ((flags & kFlagExtra) != 0) {
    if (head.size() < kFixedHeader + 2) return verdict(GzipHeader::Verdict::kTruncated);
    start = kFixedHeader + 2 + static_cast<uint16_t>(ArrayToInteger(head.subspan<kFixedHeader, 2>()));
    if (start > head.size()) return verdict(GzipHeader::Verdict::kTruncated);
  }
  if ((flags & kFlagName) == 0) return header;

  size_t length = 0;
  for (;; ++length) {
    if (start + length >= head.size()) return verdict(GzipHeader::Verdict::kTruncated);
    if (head[start + length] == 0) break;
    if (length == kStoredNameBuffer) return verdict(GzipHeader::Verdict::kNameTooLong);
  }
  if (length >= 1 && length < kStoredNameBuffer) {
    header.name.emplace(head.begin() + static_cast<ptrdiff_t>(start),
                        head.begin() + static_cast<ptrdiff_t>(start + length));
  }
  return header;
}

std::vector<uint8_t> BuildGzipHeader(int32_t mtime, std::span<const uint8_t> name) {
  const auto time = static_cast<uint32_t>(mtime);
  // Sized once: the fixed fields, the name and its zero byte.
  std::vector<uint8_t> header(kFixedHeader + name.size() + 1, 0);
  header[0] = kId1;
  header[1] = kId2;
  header[2] = kDeflate;
  header[3] = kFlagName;
  for (size_t i = 0; i < 4; ++i) header[4 + i] = static_cast<uint8_t>(time >> (8 * i));
  header[8] = 0;
  header[9] = kOsUnknown;
  std::copy(name.begin(), name.end(), header.begin() + kFixedHeader);
  return header;
}

std::vector<uint8_t> StoredNameBytes(std::u16string_view name) {
  if (IsAnsiRepresentable(name)) return TextToAnsiBytes(name);
  const std::string utf8 = Utf16ToUtf8(name);
  return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

std::optional<std::u16string> PlainStoredName(std::span<const uint8_t> stored) {
  const std::string_view raw(reinterpret_cast<const char*>(stored.data()), stored.size());
  const std::u16string text = IsValidUtf8(raw) ? Utf8ToUtf16(raw) : AnsiToText(raw);
  // Both separators count: the file may come from a system that uses either.
  const std::u16string::size_type cut = text.find_last_of(u"/\\");
  std::u16string name = cut == std::u16string::npos ? text : text.substr(cut + 1);
  if (name.empty() || name == u"." || name == u"..") return std::nullopt;
  return name;
}

GzipWriteOutcome WriteGzipFile(Env& env, const std::string& path, RandomAccessFile& source, uint64_t size,
                               std::span<const uint8_t> header, Status* file_error) {
  // Stays so when not even the temporary file beside the destination could be made.
  GzipWriteOutcome outcome = GzipWriteOutcome::kCannotOpen;
  Status source_error;
  const Status status = ProduceFileAtomically(env, path, [&](const std::string& temp_path) {
    std::unique_ptr<RandomAccessFile> out;
    const Status opened = env.OpenReadWrite(temp_path, &out);
    if (!opened.ok()) return opened;
    // Nothing may leave this function but a status, or the temporary file stays.
    try {
      outcome = Compress(source, size, *out, header, &source_error);
    } catch (const std::bad_alloc&) {
      outcome = GzipWriteOutcome::kFileError;
      source_error = Status::Error(rt::kOutOfMemory);
    }
    return outcome == GzipWriteOutcome::kOk ? Status::Ok() : Status::Error(rt::kDeviceIOError);
  });
  if (status.ok()) return GzipWriteOutcome::kOk;
  if (outcome == GzipWriteOutcome::kOk) {  // the rename
    outcome = GzipWriteOutcome::kFileError;
    *file_error = status;
  } else if (outcome == GzipWriteOutcome::kFileError) {
    *file_error = source_error;
  }
  return outcome;
}

GunzipOutcome ExtractGzipMembers(RandomAccessFile& source, RandomAccessFile& out, Status* write_error) {
  Inflater inflater;
  z_stream& stream = inflater.stream();
  std::vector<uint8_t> input(kPiece);
  std::vector<uint8_t> decoded(kPiece);
  uint64_t read = 0;
  uint64_t written = 0;
  // Tops the input up once zlib has taken all of it; false when the source
  // cannot be read. No input after it means the end of the file.
  auto refill = [&] {
    if (stream.avail_in > 0) return true;
    size_t got = 0;
    if (!source.Read(read, input, &got).ok()) return false;
    read += got;
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(got);
    return true;
  };

  for (;;) {
    // One member, from its header to its trailer, whose CRC-32 and length zlib
    // checks before it reports the end.
    int result = Z_OK;
    while (result != Z_STREAM_END) {
      if (!refill()) return GunzipOutcome::kBadData;
      if (stream.avail_in == 0) return GunzipOutcome::kBadData;  // the file ends inside the member
      do {
        stream.next_out = decoded.data();
        stream.avail_out = static_cast<uInt>(decoded.size());
        result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_MEM_ERROR) throw std::bad_alloc();
        // Z_BUF_ERROR: nothing more to do with the input at hand.
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return GunzipOutcome::kBadData;
        const size_t count = decoded.size() - stream.avail_out;
        if (count > 0) {
          const Status status = out.Write(written, std::span(decoded.data(), count));
          if (!status.ok()) {
            *write_error = status;
            return GunzipOutcome::kCannotWrite;
          }
          written += count;
        }
      } while (stream.avail_out == 0 && result != Z_STREAM_END);
    }

    // After a member: the end of the file, zero bytes up to it, or another member.
    if (!refill()) return GunzipOutcome::kBadData;
    if (stream.avail_in == 0) return GunzipOutcome::kOk;
    if (stream.next_in[0] == 0) {
      do {
        const uint8_t* begin = stream.next_in;
        const uint8_t* end = begin + stream.avail_in;
        if (std::find_if(begin, end, [](uint8_t byte) { return byte != 0; }) != end) {
          return GunzipOutcome::kBadData;
        }
        stream.avail_in = 0;
        if (!refill()) return GunzipOutcome::kBadData;
      } while (stream.avail_in > 0);
      return GunzipOutcome::kOk;
    }
    // Anything but a gzip header fails in the next member's first call.
    if (inflateReset(&stream) != Z_OK) return GunzipOutcome::kBadData;
  }
}

int32_t GetFileModTime(Env& env, const std::string& path) {
  double seconds = 0;
  if (!env.GetModificationTime(path, &seconds).ok()) return 0;
  const double rounded = RoundHalfEven(seconds);
  if (!(rounded >= std::numeric_limits<int32_t>::min() && rounded <= std::numeric_limits<int32_t>::max())) {
    return 0;
  }
  return static_cast<int32_t>(rounded);
}

void SetFileModTime(Env& env, int32_t seconds, const std::string& path) {
  (void)env.SetModificationTime(path, seconds);
}

}  // namespace quillon

// gzip files with this system's own header: the stored file name (FNAME) and the
// source's modification time (MTIME). The header is parsed by a pure function
// over the file's first bytes, so hostile files can be thrown at it directly.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/env.h"
#include "core/status.h"

namespace quillon {

// A stored name is collected into a buffer of this many characters: names of 1
// to 119 bytes are used, a name of exactly 120 leaves no terminator and is
// ignored, and a 121st byte is refused.
inline constexpr size_t kStoredNameBuffer = 120;

// How much of a file's start the header parser can ever look at: the fixed
// header, the extra field's length and its largest body, and a name up to the
// byte that makes it too long.
inline constexpr size_t kGzipHeadLimit = 10 + 2 + 0xFFFF + kStoredNameBuffer + 1;

struct GzipHeader {
  enum class Verdict {
    kOk,
    kTruncated,    // fewer bytes than the header says it has
    kNotGzip,      // does not start 1F 8B 08
    kNameTooLong,  // a stored name of 121 bytes or more
  };
  Verdict verdict = Verdict::kOk;
  int32_t mtime = 0;
  // The stored name's bytes when one of 1 to 119 bytes is present.
  std::optional<std::vector<uint8_t>> name;
};

// Parses the start of a gzip file (at most kGzipHeadLimit bytes are looked at;
// `head` may be the whole file). With `take_name` false only the signature is
// checked, and neither the name nor MTIME is read.
GzipHeader ParseGzipHeader(std::span<const uint8_t> head, bool take_name);

// The 10-byte header with FNAME set, then the name and its zero byte.
std::vector<uint8_t> BuildGzipHeader(int32_t mtime, std::span<const uint8_t> name);

// A file name as it is stored: Windows-1252 when the code page holds every
// character (gzip's own convention), UTF-8 otherwise.
std::vector<uint8_t> StoredNameBytes(std::u16string_view name);
// A stored name as text (UTF-8 when the bytes are valid UTF-8, else
// Windows-1252), reduced to a plain final name so that it can never lead out of
// the folder it is joined to; nothing when no such name is left.
std::optional<std::u16string> PlainStoredName(std::span<const uint8_t> stored);

// Compresses the first `size` bytes of `source` (fewer when it shrinks meanwhile)
// into a gzip file that starts with `header`: zlib's deflate at level 9 with its
// default settings, then the CRC-32 and the size modulo 2^32. Source and output
// pass a piece at a time, so memory stays small whatever the size. The file
// appears at `path` (a link there is followed) only when all of it was written;
// a failure leaves no trace.
enum class GzipWriteOutcome {
  kOk,
  kCannotOpen,   // the destination could not be opened for writing
  kCannotWrite,  // the compressed data could not be written
  kFileError,    // reading the source or the final rename failed: see the status
};
GzipWriteOutcome WriteGzipFile(Env& env, const std::string& path, RandomAccessFile& source, uint64_t size,
                               std::span<const uint8_t> header, Status* file_error);

// Decodes the gzip file `source` into `out`, from offset 0, a piece at a time, as
// the gzip command does: every member to the end of the file, each one's CRC-32
// and length checked, zero bytes after the last member ignored. Anything else (a
// check that fails, a member cut short, other bytes after a member, a source
// that cannot be read) is kBadData; `out` then holds a part that must be thrown
// away.
enum class GunzipOutcome {
  kOk,
  kBadData,
  kCannotWrite,  // writing `out` failed: see the status
};
GunzipOutcome ExtractGzipMembers(RandomAccessFile& source, RandomAccessFile& out, Status* write_error);

// A file's modification time in whole seconds since 1970 UTC, rounded half to
// even; 0 when it cannot be read or does not fit 32 bits.
int32_t GetFileModTime(Env& env, const std::string& path);
// Sets the modification time to exactly `seconds`, leaving the access time
// alone. Silent: a file that cannot be changed keeps its time.
void SetFileModTime(Env& env, int32_t seconds, const std::string& path);

}  // namespace quillon

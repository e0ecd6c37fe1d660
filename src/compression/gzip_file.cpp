#include "compression/gzip_file.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "host/atomic_save.h"
#include "host/convert.h"
#include "host/errors.h"
#include "host/text.h"

namespace quillon {
namespace {

constexpr uint8_t kId1 = 0x1F;
constexpr uint8_t kId2 = 0x8B;
constexpr uint8_t kDeflate = 8;
constexpr uint8_t kFlagExtra = 4;
constexpr uint8_t kFlagName = 8;
constexpr uint8_t kOsUnknown = 255;
constexpr size_t kFixedHeader = 10;

struct GzCloser {
  void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzHandle = std::unique_ptr<gzFile_s, GzCloser>;

GzipWriteOutcome Compress(const std::string& path, std::span<const uint8_t> content) {
  gzFile file = gzopen(path.c_str(), "wb9");
  if (file == nullptr) return GzipWriteOutcome::kCannotOpen;
  // gzwrite counts in int; the caller keeps content within 32-bit lengths.
  const int written = content.size() > static_cast<size_t>(std::numeric_limits<int>::max())
                          ? 0
                          : gzwrite(file, content.data(), static_cast<unsigned>(content.size()));
  // The close flushes the last blocks and the trailer: a failure there (a full
  // disk) is as much a failed write as a refused gzwrite.
  const int closed = gzclose(file);
  if (written <= 0 || static_cast<size_t>(written) != content.size() || closed != Z_OK) {
    return GzipWriteOutcome::kCannotWrite;
  }
  return GzipWriteOutcome::kOk;
}

// Puts `header` in place of the 10 bytes zlib's writer starts its file with. The
// new content is longer than the old, so writing it from the start leaves no old
// byte behind.
Status ReplaceHeader(Env& env, const std::string& path, std::span<const uint8_t> header) {
  std::unique_ptr<RandomAccessFile> file;
  Status status = env.OpenReadWrite(path, &file);
  if (!status.ok()) return status;
  uint64_t size = 0;
  status = file->Size(&size);
  if (!status.ok()) return status;
  if (size < kFixedHeader || size > std::numeric_limits<int32_t>::max()) return Status::Error(rt::kDeviceIOError);
  std::vector<uint8_t> written(static_cast<size_t>(size));
  size_t read = 0;
  status = file->Read(0, written, &read);
  if (!status.ok()) return status;
  if (read != written.size() || written[0] != kId1 || written[1] != kId2) return Status::Error(rt::kDeviceIOError);

  std::vector<uint8_t> result(header.begin(), header.end());
  result.insert(result.end(), written.begin() + kFixedHeader, written.end());
  return file->Write(0, result);
}

}  // namespace

int32_t ArrayToLong(std::span<const uint8_t, 4> bytes) {
  uint32_t pattern = 0;
  for (size_t i = 0; i < 4; ++i) pattern |= uint32_t{bytes[i]} << (8 * i);
  return static_cast<int32_t>(pattern);
}

int16_t ArrayToInteger(std::span<const uint8_t, 2> bytes) {
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
}

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

GzipWriteOutcome WriteGzipFile(Env& env, const std::string& path, std::span<const uint8_t> content,
                               std::span<const uint8_t> header, Status* file_error) {
  // Stays so when not even the temporary file beside the destination could be made.
  GzipWriteOutcome outcome = GzipWriteOutcome::kCannotOpen;
  const Status status = ProduceFileAtomically(env, path, [&](const std::string& temp_path) {
    outcome = Compress(temp_path, content);
    if (outcome != GzipWriteOutcome::kOk) return Status::Error(rt::kDeviceIOError);
    const Status rewritten = ReplaceHeader(env, temp_path, header);
    if (!rewritten.ok()) outcome = GzipWriteOutcome::kFileError;
    return rewritten;
  });
  if (status.ok()) return GzipWriteOutcome::kOk;
  if (outcome == GzipWriteOutcome::kOk) outcome = GzipWriteOutcome::kFileError;  // the rename
  if (outcome == GzipWriteOutcome::kFileError) *file_error = status;
  return outcome;
}

bool ReadGzipFile(const std::string& path, int32_t limit, uint64_t compressed_size, std::vector<uint8_t>* content) {
  constexpr size_t kChunk = size_t{1} << 20;
  // Deflate never expands more than 1032 to 1, so no genuine stream of this
  // file yields more than that much output.
  constexpr uint64_t kMostExpansion = 1032;
  content->clear();
  if (limit < 0) return false;
  GzHandle file(gzopen(path.c_str(), "rb"));
  if (!file) return false;

  const auto wanted = static_cast<size_t>(limit);
  // Room for the output at once, as far as the file's own size can vouch for it:
  // growing the buffer a chunk at a time copied it over and over, while a
  // forged ISIZE in a small file still cannot ask for more than it could fill.
  content->reserve(static_cast<size_t>(std::min<uint64_t>(wanted, compressed_size * kMostExpansion + kChunk)));
  while (content->size() < wanted) {
    const size_t before = content->size();
    const size_t ask = std::min(kChunk, wanted - before);
    content->resize(before + ask);
    const int got = gzread(file.get(), content->data() + before, static_cast<unsigned>(ask));
    if (got < 0) return false;
    content->resize(before + static_cast<size_t>(got));
    if (got == 0) break;
  }
  // With all the bytes asked for, one more read makes zlib reach the trailer of a
  // stream that ends here, so its check value is verified too; more content
  // after the limit (further members) is simply not taken.
  if (content->size() == wanted) {
    uint8_t probe = 0;
    if (gzread(file.get(), &probe, 1) < 0) return false;
  }
  // zlib hands back what it decoded of a stream cut short and only notes the
  // unexpected end; such output is incomplete, not a smaller file.
  int error = Z_OK;
  gzerror(file.get(), &error);
  return error == Z_OK;
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

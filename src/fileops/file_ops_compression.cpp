// Compression members of FileOps: store compression and gzip files.
#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compression/gzip_file.h"
#include "compression/store_compression.h"
#include "fileops/file_ops.h"
#include "core/atomic_save.h"
#include "core/convert.h"
#include "core/path.h"
#include "core/text.h"

namespace quillon {
namespace {

constexpr char16_t kCannotOpenDestination[] = u"zlib error: Unable to open destination file.";
constexpr char16_t kCannotWriteCompressed[] = u"zlib error: Failed writing compressed data to file.";

Variant Success() { return Variant::I2(0); }

// A failure of the zlib helpers: their code as a 32-bit integer and its text.
Variant ZipFailure(ErrorState& error, int32_t code) {
  return OwnFailure(error, Variant::I4(code), std::u16string(ZipErrorText(code)));
}

// Reads `count` bytes at `offset`; fewer when the file shrank meanwhile.
std::vector<uint8_t> ReadPrefix(RandomAccessFile& file, uint64_t offset, size_t count) {
  std::vector<uint8_t> bytes(count);
  size_t read = 0;
  ThrowIfFailed(file.Read(offset, bytes, &read));
  bytes.resize(read);
  return bytes;
}

// What the extraction needs of a gzip file before it decodes it: the open file
// and its start, as far as a header can reach. A missing file reads as an empty
// one, which no header fits.
struct GzipSource {
  std::unique_ptr<RandomAccessFile> file;
  std::vector<uint8_t> head;
};

GzipSource ReadGzipSource(Env& env, const std::string& path) {
  GzipSource source;
  const Status opened = env.OpenRead(path, &source.file);
  if (opened.number() == rt::kFileNotFound) return source;
  ThrowIfFailed(opened);
  uint64_t size = 0;
  ThrowIfFailed(source.file->Size(&size));
  source.head = ReadPrefix(*source.file, 0, static_cast<size_t>(std::min<uint64_t>(size, kGzipHeadLimit)));
  return source;
}

// Whether the destination itself could be opened in place for writing, as
// scripts expect of GZipFile, although the archive is made beside it and
// renamed over it. A folder, a device or a file we may not write is refused
// before anything is produced, and such a file is never replaced behind its
// owner's back.
bool DestinationWritable(Env& env, const std::string& path) {
  switch (env.KindOf(path)) {
    case PathKind::kMissing: return true;
    case PathKind::kFile: {
      std::unique_ptr<RandomAccessFile> probe;
      return env.OpenReadWrite(path, &probe).ok();
    }
    case PathKind::kDirectory:
    case PathKind::kOther: return false;
  }
  return false;
}

}  // namespace

Variant FileOps::Zip(Variant& id) {
  return RunStatusMember(error_, [&] {
    const std::u16string store_id = ToText(id);
    StoreTable::Bytes bytes = stores_.Fetch(store_id);
    const int32_t result = CompressBytes(bytes);
    if (result < 0) return ZipFailure(error_, result);
    stores_.Replace(store_id, std::move(bytes));
    return Success();
  });
}

Variant FileOps::Unzip(Variant& id, Variant& orig_size) {
  return RunStatusMember(error_, [&] {
    const std::u16string store_id = ToText(id);
    const int32_t expected_size = ToLong(orig_size);
    StoreTable::Bytes bytes = stores_.Fetch(store_id);
    const int32_t result = UncompressBytes(bytes, expected_size);
    if (result < 0) return ZipFailure(error_, result);
    stores_.Replace(store_id, std::move(bytes));
    return Success();
  });
}

Variant FileOps::GZipFile(Variant& src_path, Variant& destination_zpath) {
  return RunStatusMember(error_, [&] {
    const std::u16string source_text = ToText(src_path);
    const std::u16string destination_text = ToText(destination_zpath);
    std::string source;
    ThrowIfFailed(PathFromText(source_text, &source));
    std::unique_ptr<RandomAccessFile> file;
    ThrowIfFailed(env_.OpenRead(source, &file));
    uint64_t size = 0;
    ThrowIfFailed(file->Size(&size));
    // An empty file gives zlib nothing to compress; refused before any file exists.
    if (size == 0) throw RuntimeError(rt::kSubscriptOutOfRange);
    // Taken before anything is written, so a file compressed onto itself keeps
    // its own time.
    const int32_t mtime = GetFileModTime(env_, source);
    const std::vector<uint8_t> header = BuildGzipHeader(mtime, StoredNameBytes(NameOf(source_text)));

    std::string destination;
    if (!PathFromText(destination_text, &destination).ok() || destination.empty()) {
      return OwnFailure(error_, Variant::I2(1), kCannotOpenDestination);
    }
    // A symbolic link the save may not follow fails it (75) before the probe
    // below could open, or create, what the link names.
    SaveTarget target;
    ThrowIfFailed(env_.ResolveSaveTarget(destination, &target));
    if (!DestinationWritable(env_, target.path)) return OwnFailure(error_, Variant::I2(1), kCannotOpenDestination);
    Status file_error;
    switch (WriteGzipFile(env_, destination, *file, size, header, &file_error)) {
      case GzipWriteOutcome::kOk: return Success();
      case GzipWriteOutcome::kCannotOpen: return OwnFailure(error_, Variant::I2(1), kCannotOpenDestination);
      case GzipWriteOutcome::kCannotWrite: return OwnFailure(error_, Variant::I2(2), kCannotWriteCompressed);
      case GzipWriteOutcome::kFileError: break;
    }
    throw RuntimeError(file_error);
  });
}

Variant FileOps::GUnZipFile(Variant& src_zpath, Variant& destination_unzpath, Variant& override_name) {
  return RunStatusMember(error_, [&] {
    const std::u16string source_text = ToText(src_zpath);
    std::u16string output_text = ToText(destination_unzpath);
    const bool exact_path = ToBoolean(override_name);
    std::string source;
    ThrowIfFailed(PathFromText(source_text, &source));

    const GzipSource file = ReadGzipSource(env_, source);
    const GzipHeader header = ParseGzipHeader(file.head, !exact_path);
    switch (header.verdict) {
      case GzipHeader::Verdict::kOk: break;
      case GzipHeader::Verdict::kNameTooLong: throw RuntimeError(rt::kInvalidProcedureCall);
      case GzipHeader::Verdict::kTruncated:
      case GzipHeader::Verdict::kNotGzip: throw RuntimeError(rt::kSubscriptOutOfRange);
    }
    if (header.name) {
      if (std::optional<std::u16string> name = PlainStoredName(*header.name)) {
        output_text = FolderOf(output_text) + *name;
        // The client learns the path as soon as it is decided, also when a
        // later step fails.
        destination_unzpath = Variant::Bstr(output_text);
      }
    }

    std::string output;
    ThrowIfFailed(PathFromText(output_text, &output));
    if (output.empty()) throw RuntimeError(rt::kBadFileNameOrNumber);
    // A folder cannot be written as a file, and a device or pipe at the path is
    // not a file this call may replace.
    const PathKind existing = env_.KindOf(output);
    if (existing == PathKind::kDirectory || existing == PathKind::kOther) {
      throw RuntimeError(rt::kPathFileAccessError);
    }
    ThrowIfFailed(ProduceFileAtomically(env_, output, [&](const std::string& temp_path) {
      std::unique_ptr<RandomAccessFile> out;
      Status status = env_.OpenReadWrite(temp_path, &out);
      if (!status.ok()) return status;
      // Decoded straight into the temporary file, so the output may have any
      // size; nothing may leave here but a status, or the temporary file stays.
      GunzipOutcome outcome = GunzipOutcome::kBadData;
      try {
        outcome = ExtractGzipMembers(*file.file, *out, &status);
      } catch (const std::bad_alloc&) {
        return Status::Error(rt::kOutOfMemory);
      }
      if (outcome == GunzipOutcome::kBadData) return Status::Error(rt::kSubscriptOutOfRange);
      if (outcome == GunzipOutcome::kCannotWrite) return status;
      out.reset();
      // Set before the rename, so the file never shows under its name with
      // another time.
      if (header.mtime != 0) SetFileModTime(env_, header.mtime, temp_path);
      return Status::Ok();
    }));
    return Success();
  });
}

}  // namespace quillon

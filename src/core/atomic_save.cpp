#include "core/atomic_save.h"

#include <memory>
#include <random>
#include <vector>

#include "core/path.h"

namespace quillon {
namespace {

std::string RandomSuffix(std::mt19937_64& random) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string suffix(6, 'x');
  for (char& c : suffix) c = kAlphabet[random() % (sizeof kAlphabet - 1)];
  return suffix;
}

// Creates ".NAME.quillon-XXXXXX" beside the target. A name that is taken is
// tried again with another suffix, a bounded number of times.
Status CreateTemporaryBeside(Env& env, const std::string& target, std::string* temp_path,
                             std::unique_ptr<RandomAccessFile>* file) {
  const std::string folder = FolderOf(target);
  const std::string name = NameOf(target);
  std::mt19937_64 random(std::random_device{}());
  Status status;
  for (int attempt = 0; attempt < 64; ++attempt) {
    *temp_path = folder + "." + name + ".quillon-" + RandomSuffix(random);
    status = env.CreateExclusive(*temp_path, file);
    if (status.ok() || env.KindOf(*temp_path) == PathKind::kMissing) return status;
  }
  return status;
}

// Every save: the destination is resolved (a link that may not redirect the save
// fails it here, before anything exists), `fill` writes the temporary file
// through its handle or by its path, and the file then gets the access of the
// file it replaces, is closed (a write error reported only then fails the
// save), and is renamed into place. On any failure the temporary file is
// removed and the destination stays as it was.
Status SaveThrough(Env& env, const std::string& path,
                   const std::function<Status(RandomAccessFile& file, const std::string& temp_path)>& fill) {
  SaveTarget target;
  Status status = env.ResolveSaveTarget(path, &target);
  if (!status.ok()) return status;
  std::string temp_path;
  std::unique_ptr<RandomAccessFile> file;
  status = CreateTemporaryBeside(env, target.path, &temp_path, &file);
  if (!status.ok()) return status;
  status = fill(*file, temp_path);
  if (status.ok()) status = file->SetAccess(target.access);
  const Status closed = file->Close();
  file.reset();
  if (status.ok()) status = closed;
  if (status.ok()) status = env.Rename(temp_path, target.path);
  if (!status.ok()) env.RemoveFile(temp_path);  // best effort: the failure we report is the first one
  return status;
}

}  // namespace

Status SaveFileAtomically(Env& env, const std::string& path, std::span<const uint8_t> bytes) {
  return SaveThrough(env, path, [&](RandomAccessFile& file, const std::string&) { return file.Write(0, bytes); });
}

Status SavePiecesAtomically(Env& env, const std::string& path, std::span<const std::vector<uint8_t>> pieces) {
  constexpr size_t kGather = size_t{1} << 20;
  return SaveThrough(env, path, [&](RandomAccessFile& file, const std::string&) {
    Status status;
    std::vector<uint8_t> gathered;
    gathered.reserve(kGather);
    uint64_t offset = 0;
    auto flush = [&] {
      if (status.ok() && !gathered.empty()) status = file.Write(offset, gathered);
      offset += gathered.size();
      gathered.clear();
    };
    for (const std::vector<uint8_t>& piece : pieces) {
      if (!status.ok()) break;
      if (gathered.size() + piece.size() > kGather) flush();
      if (piece.size() >= kGather) {
        if (status.ok()) status = file.Write(offset, piece);
        offset += piece.size();
      } else {
        gathered.insert(gathered.end(), piece.begin(), piece.end());
      }
    }
    flush();
    return status;
  });
}

Status ProduceFileAtomically(Env& env, const std::string& path,
                             const std::function<Status(const std::string& temp_path)>& produce) {
  // The handle stays open while the producer writes through its own: its close
  // then reports a write error the file system keeps for the file.
  return SaveThrough(env, path, [&](RandomAccessFile&, const std::string& temp_path) { return produce(temp_path); });
}

}  // namespace quillon

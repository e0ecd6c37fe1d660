#include "host/atomic_save.h"

#include <memory>
#include <random>
#include <vector>

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
  const std::string::size_type slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::mt19937_64 random(std::random_device{}());
  Status status;
  for (int attempt = 0; attempt < 64; ++attempt) {
    *temp_path = folder + "." + name + ".quillon-" + RandomSuffix(random);
    status = env.CreateExclusive(*temp_path, file);
    if (status.ok() || env.KindOf(*temp_path) == PathKind::kMissing) return status;
  }
  return status;
}

Status Finish(Env& env, const std::string& temp_path, const std::string& target, Status produced) {
  if (produced.ok()) produced = env.Rename(temp_path, target);
  if (!produced.ok()) env.RemoveFile(temp_path);  // best effort: the failure we report is the first one
  return produced;
}

}  // namespace

Status SaveFileAtomically(Env& env, const std::string& path, std::span<const uint8_t> bytes) {
  const std::string target = env.FollowLinks(path);
  std::string temp_path;
  std::unique_ptr<RandomAccessFile> file;
  Status status = CreateTemporaryBeside(env, target, &temp_path, &file);
  if (!status.ok()) return status;
  status = file->Write(0, bytes);
  file.reset();
  return Finish(env, temp_path, target, std::move(status));
}

Status SavePiecesAtomically(Env& env, const std::string& path, std::span<const std::vector<uint8_t>> pieces) {
  constexpr size_t kGather = size_t{1} << 20;
  const std::string target = env.FollowLinks(path);
  std::string temp_path;
  std::unique_ptr<RandomAccessFile> file;
  Status status = CreateTemporaryBeside(env, target, &temp_path, &file);
  if (!status.ok()) return status;
  std::vector<uint8_t> gathered;
  gathered.reserve(kGather);
  uint64_t offset = 0;
  auto flush = [&] {
    if (status.ok() && !gathered.empty()) status = file->Write(offset, gathered);
    offset += gathered.size();
    gathered.clear();
  };
  for (const std::vector<uint8_t>& piece : pieces) {
    if (!status.ok()) break;
    if (gathered.size() + piece.size() > kGather) flush();
    if (piece.size() >= kGather) {
      if (status.ok()) status = file->Write(offset, piece);
      offset += piece.size();
    } else {
      gathered.insert(gathered.end(), piece.begin(), piece.end());
    }
  }
  flush();
  file.reset();
  return Finish(env, temp_path, target, std::move(status));
}

Status ProduceFileAtomically(Env& env, const std::string& path,
                             const std::function<Status(const std::string& temp_path)>& produce) {
  const std::string target = env.FollowLinks(path);
  std::string temp_path;
  std::unique_ptr<RandomAccessFile> file;
  Status status = CreateTemporaryBeside(env, target, &temp_path, &file);
  if (!status.ok()) return status;
  file.reset();
  return Finish(env, temp_path, target, produce(temp_path));
}

}  // namespace quillon

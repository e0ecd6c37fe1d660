// Saves replace a file whole or not at all, and leave no temporary file behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/atomic_save.h"
#include "test_support.h"

namespace quillon {
namespace {

using quillon::testing::ReadAll;
using quillon::testing::ScratchDir;
using quillon::testing::WriteAll;

std::vector<std::string> Entries(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(testing::Utf8Of(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

// Passes everything through, except that writes to temporary files fail, or
// (`at_close`) seem to succeed and only the close reports the failure, as a
// network file system or a quota may.
class FailingWritesEnv : public EnvWrapper {
 public:
  explicit FailingWritesEnv(bool at_close = false) : EnvWrapper(DefaultEnv()), at_close_(at_close) {}
  class FailingFile : public RandomAccessFile {
   public:
    FailingFile(std::unique_ptr<RandomAccessFile> inner, bool at_close)
        : inner_(std::move(inner)), at_close_(at_close) {}
    Status Read(uint64_t o, std::span<uint8_t> out, size_t* n) override { return inner_->Read(o, out, n); }
    Status Write(uint64_t o, std::span<const uint8_t> data) override {
      if (at_close_) return inner_->Write(o, data);
      inner_->Write(o, data.first(data.size() / 2));
      return Status::Error(rt::kDiskFull);
    }
    Status Size(uint64_t* size) override { return inner_->Size(size); }
    Status SetAccess(const FileAccess& access) override { return inner_->SetAccess(access); }
    Status Close() override {
      const Status closed = inner_->Close();
      return at_close_ ? Status::Error(rt::kDiskFull) : closed;
    }

   private:
    std::unique_ptr<RandomAccessFile> inner_;
    bool at_close_;
  };
  Status CreateExclusive(const std::string& p, std::unique_ptr<RandomAccessFile>* f) override {
    std::unique_ptr<RandomAccessFile> inner;
    Status s = target().CreateExclusive(p, &inner);
    if (s.ok()) *f = std::make_unique<FailingFile>(std::move(inner), at_close_);
    return s;
  }

 private:
  bool at_close_;
};

TEST(AtomicSave, WritesNewAndReplacesExistingFilesWhole) {
  ScratchDir dir;
  const std::string path = dir.File("out.bin");
  const std::vector<uint8_t> first{1, 2, 3, 4, 5};
  const std::vector<uint8_t> second{9};
  ASSERT_TRUE(SaveFileAtomically(DefaultEnv(), path, first).ok());
  EXPECT_EQ(ReadAll(path), first);
  ASSERT_TRUE(SaveFileAtomically(DefaultEnv(), path, second).ok());
  EXPECT_EQ(ReadAll(path), second);
  ASSERT_TRUE(SaveFileAtomically(DefaultEnv(), path, {}).ok());
  EXPECT_TRUE(ReadAll(path).empty());
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"out.bin"});
}

TEST(AtomicSave, PiecesAreWrittenInOrderAcrossTheGatheringBuffer) {
  ScratchDir dir;
  const std::string path = dir.File("pieces.bin");
  // Small pieces that fill the gathering buffer unevenly, an empty one, and one
  // larger than the buffer that is written as it is.
  std::vector<std::vector<uint8_t>> pieces;
  for (size_t i = 0; i < 300; ++i) pieces.emplace_back(8191 - i % 3, static_cast<uint8_t>(i));
  pieces.emplace_back();
  pieces.emplace_back((size_t{3} << 20) + 5, 0xAB);
  pieces.emplace_back(17, 0xCD);
  std::vector<uint8_t> joined;
  for (const auto& piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());

  ASSERT_TRUE(SavePiecesAtomically(DefaultEnv(), path, pieces).ok());
  EXPECT_EQ(ReadAll(path), joined);
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"pieces.bin"});

  // A failed write keeps the old file, as a whole save does.
  FailingWritesEnv env;
  EXPECT_EQ(SavePiecesAtomically(env, path, std::vector<std::vector<uint8_t>>{{9, 9}}).number(), rt::kDiskFull);
  EXPECT_EQ(ReadAll(path), joined);
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"pieces.bin"});
}

TEST(AtomicSave, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string path = dir.File("keep.txt");
  WriteAll(path, {'o', 'l', 'd'});
  const std::vector<uint8_t> bytes(1000, 7);
  for (const bool at_close : {false, true}) {
    FailingWritesEnv env(at_close);
    EXPECT_EQ(SaveFileAtomically(env, path, bytes).number(), rt::kDiskFull) << at_close;
    EXPECT_EQ(ReadAll(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"keep.txt"});
  }
  // A producer writes through its own handle; the close of the save's own
  // handle still reports what the file system kept for the file.
  FailingWritesEnv closing(true);
  EXPECT_EQ(ProduceFileAtomically(closing, path, [](const std::string& temp) {
    testing::WriteAll(temp, {1, 2});
    return Status::Ok();
  }).number(), rt::kDiskFull);
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"keep.txt"});

  Status status = ProduceFileAtomically(DefaultEnv(), path, [](const std::string& temp) {
    testing::WriteAll(temp, {1, 2});
    return Status::Error(rt::kDeviceIOError);
  });
  EXPECT_EQ(status.number(), rt::kDeviceIOError);
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"keep.txt"});
}

TEST(AtomicSave, AMissingFolderFailsAsPathNotFound) {
  ScratchDir dir;
  Status status = SaveFileAtomically(DefaultEnv(), dir.File("no/such/file"), std::vector<uint8_t>{1});
  EXPECT_EQ(status.number(), rt::kPathNotFound);
}

TEST(AtomicSave, ASymbolicLinkIsFollowedAndStaysALink) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "real");
  const std::string target = dir.File("real/data");
  WriteAll(target, {1});
  if (!testing::MakeSymlink(std::filesystem::path("real") / "data", dir.path() / "link")) {
    GTEST_SKIP() << "no symbolic links in this build";
  }
  ASSERT_TRUE(SaveFileAtomically(DefaultEnv(), dir.File("link"), std::vector<uint8_t>{2, 3}).ok());
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link"));
  EXPECT_EQ(ReadAll(target), (std::vector<uint8_t>{2, 3}));
}

}  // namespace
}  // namespace quillon

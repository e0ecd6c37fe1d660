// The platform layer under FileOps and the download engine: which run-time error
// a file-system failure becomes, the silent file helpers, and the file numbers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "compression/zlib_check.h"
#include "core/env.h"
#include "core/file_checks.h"
#include "core/host.h"
#include "test_support.h"

namespace quillon {
namespace {

using testing::ReadAll;
using testing::ScratchDir;
using testing::WriteAll;

int32_t OpenReadError(const std::string& path) {
  std::unique_ptr<RandomAccessFile> file;
  return DefaultEnv().OpenRead(path, &file).number();
}

TEST(PosixEnv, MissingFileAndMissingFolderAreDifferentErrors) {
  ScratchDir dir;
  WriteAll(dir.File("plain"), {1});
  EXPECT_EQ(OpenReadError(dir.File("absent")), rt::kFileNotFound);
  EXPECT_EQ(OpenReadError(dir.File("absent/x")), rt::kPathNotFound);
  EXPECT_EQ(OpenReadError(dir.File("plain/x")), rt::kPathNotFound);
  EXPECT_EQ(OpenReadError(dir.path().string()), rt::kPathFileAccessError);
  EXPECT_EQ(DefaultEnv().RemoveFile(dir.File("absent")).number(), rt::kFileNotFound);
  EXPECT_EQ(DefaultEnv().RemoveFile(dir.File("absent/x")).number(), rt::kPathNotFound);
}

TEST(PosixEnv, FilesReadAndWriteAtPositionsAndGrow) {
  ScratchDir dir;
  std::unique_ptr<RandomAccessFile> file;
  ASSERT_TRUE(DefaultEnv().OpenReadWrite(dir.File("f"), &file).ok());
  const uint8_t data[] = {1, 2, 3};
  ASSERT_TRUE(file->Write(4, data).ok());  // the gap reads as zeros
  uint64_t size = 0;
  ASSERT_TRUE(file->Size(&size).ok());
  EXPECT_EQ(size, 7u);
  uint8_t out[10] = {};
  size_t read = 0;
  ASSERT_TRUE(file->Read(3, out, &read).ok());
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(ReadAll(dir.File("f")), (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3}));
}

TEST(PosixEnv, ModificationTimeChangesAloneToWholeSeconds) {
  ScratchDir dir;
  WriteAll(dir.File("f"), {1});
  ASSERT_TRUE(DefaultEnv().SetModificationTime(dir.File("f"), 1000000000).ok());
  double seconds = 0;
  ASSERT_TRUE(DefaultEnv().GetModificationTime(dir.File("f"), &seconds).ok());
  EXPECT_EQ(seconds, 1000000000.0);
  EXPECT_EQ(DefaultEnv().SetModificationTime(dir.File("absent"), 0).number(), rt::kFileNotFound);
}

TEST(PosixEnv, ExecutableFolderHoldsTheRunningProgram) {
  const std::string folder = DefaultEnv().ExecutableFolder();
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "/quillon_unit_tests"));
}

TEST(FileHelpers, FileExistsOnlyForThingsThatAreNotFolders) {
  ScratchDir dir;
  WriteAll(dir.File("café.txt"), {1});
  ASSERT_EQ(chmod(dir.File("café.txt").c_str(), 0400), 0);
  Env& env = DefaultEnv();
  EXPECT_TRUE(FileExists(env, u"/dev/null"));
  EXPECT_TRUE(FileExists(env, dir.File("café.txt")));
  EXPECT_FALSE(FileExists(env, dir.path().string()));
  EXPECT_FALSE(FileExists(env, dir.File("absent")));
  EXPECT_FALSE(FileExists(env, u""));
  EXPECT_FALSE(FileExists(env, std::u16string(u"a\0b", 3)));
  EXPECT_FALSE(FileExists(env, std::u16string(1, char16_t{0xD800})));
}

TEST(FileHelpers, KillFileRemovesReadOnlyFilesAndLeavesFoldersAlone) {
  ScratchDir dir;
  WriteAll(dir.File("locked"), {1});
  ASSERT_EQ(chmod(dir.File("locked").c_str(), 0444), 0);
  std::filesystem::create_directory(dir.path() / "folder");
  KillFile(DefaultEnv(), dir.File("locked"));
  KillFile(DefaultEnv(), dir.File("folder"));
  KillFile(DefaultEnv(), dir.File("absent"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("locked")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
  EXPECT_TRUE(ExtractZlib());
}

TEST(FileHelpers, KillFileRemovesALinkItselfAndNeverTouchesWhatItNames) {
  ScratchDir dir;
  WriteAll(dir.File("locked"), {1});
  ASSERT_EQ(chmod(dir.File("locked").c_str(), 0444), 0);
  std::filesystem::create_directory(dir.path() / "folder");
  std::filesystem::create_symlink("locked", dir.path() / "to_file");
  std::filesystem::create_symlink("folder", dir.path() / "to_folder");
  std::filesystem::create_symlink("absent", dir.path() / "dangling");
  for (const char* link : {"to_file", "to_folder", "dangling"}) {
    KillFile(DefaultEnv(), dir.File(link));
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path() / link)) << link;
  }
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("locked").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
}

TEST(FileNumberPool, HandsOutTheLowestFreeNumberUpTo511) {
  FileNumberPool pool;
  for (int16_t n = 1; n <= 511; ++n) ASSERT_EQ(pool.Acquire(), n);
  EXPECT_EQ(pool.Acquire(), 0);
  pool.Release(7);
  pool.Release(0);    // never handed out: ignored
  pool.Release(512);
  EXPECT_EQ(pool.in_use(), 510);
  EXPECT_EQ(pool.Acquire(), 7);
}

}  // namespace
}  // namespace quillon

// The download's block store under reads of every size.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "http/http_engine.h"

namespace quillon::http {
namespace {

std::vector<uint8_t> Joined(const DownloadedFile& file) {
  std::vector<uint8_t> all;
  for (const auto& block : file.blocks()) all.insert(all.end(), block.begin(), block.end());
  return all;
}

TEST(DownloadedFileTest, ATrickleOfBytesFillsBlocksRatherThanOneEach) {
  DownloadedFile file;
  std::vector<uint8_t> sent(3 * kReadBlockSize + 5);
  std::iota(sent.begin(), sent.end(), 0);
  for (uint8_t byte : sent) file.Append(std::span<const uint8_t>(&byte, 1));
  EXPECT_EQ(file.size(), static_cast<int64_t>(sent.size()));
  EXPECT_EQ(Joined(file), sent);
  EXPECT_EQ(file.blocks().size(), 4u);
}

TEST(DownloadedFileTest, FullReadsAndShortOnesKeepTheirOrder) {
  DownloadedFile file;
  std::vector<uint8_t> expected;
  std::vector<uint8_t> full(kReadBlockSize, 0xAA);
  const std::vector<uint8_t> shorts[] = {{1, 2, 3}, {4}, std::vector<uint8_t>(kReadBlockSize - 3, 5)};
  for (const auto& piece : shorts) {
    file.Append(piece);
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  file.Adopt(full);
  expected.insert(expected.end(), full.begin(), full.end());
  file.Append(shorts[0]);
  expected.insert(expected.end(), shorts[0].begin(), shorts[0].end());
  file.Append({});
  EXPECT_EQ(Joined(file), expected);
  EXPECT_EQ(file.size(), static_cast<int64_t>(expected.size()));
  // Short reads share a block while they fit in one read's size; no block outgrows a read.
  EXPECT_EQ(file.blocks().size(), 4u);
  for (const auto& block : file.blocks()) EXPECT_LE(block.size(), kReadBlockSize);
  file.Clear();
  EXPECT_EQ(file.size(), 0);
  EXPECT_TRUE(file.blocks().empty());
}

TEST(DownloadedFileTest, FilesShareOneBudgetAndGiveBackWhatTheyHeld) {
  MemoryBudget budget(2 * kReadBlockSize + 10);
  {
    DownloadedFile first(&budget);
    DownloadedFile second(&budget);
    EXPECT_TRUE(first.Adopt(std::vector<uint8_t>(kReadBlockSize, 1)));
    EXPECT_TRUE(second.Append(std::vector<uint8_t>(kReadBlockSize, 2)));
    // Eleven more bytes pass the limit in either file, and nothing of them is kept.
    EXPECT_FALSE(first.Append(std::vector<uint8_t>(11, 3)));
    EXPECT_FALSE(second.Adopt(std::vector<uint8_t>(11, 3)));
    EXPECT_TRUE(second.Append(std::vector<uint8_t>(10, 4)));
    EXPECT_EQ(first.size() + second.size(), budget.limit());
    first.Clear();
    EXPECT_EQ(budget.taken(), second.size());
    EXPECT_TRUE(first.Append(std::vector<uint8_t>(kReadBlockSize, 5)));
  }
  EXPECT_EQ(budget.taken(), 0);  // each file gives back what it holds when it ends
}

}  // namespace
}  // namespace quillon::http

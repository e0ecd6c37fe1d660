// File modes through a save: the partial file is private, a new file gets the
// umask's mode and a replaced one keeps its own. Modes and the umask are POSIX.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/atomic_save.h"
#include "test_support.h"

namespace quillon {
namespace {

using quillon::testing::ScratchDir;
using quillon::testing::WriteAll;

// A file's mode in octal, as failures print it.
std::string ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return text;
}

// Sets the umask for one test and puts the old one back.
class UmaskFor {
 public:
  explicit UmaskFor(mode_t mask) : previous_(::umask(mask)) {}
  ~UmaskFor() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(AtomicSave, ThePartialFileIsPrivateAndTheResultKeepsTheReplacedMode) {
  ScratchDir dir;
  UmaskFor mask(027);
  const std::string fresh = dir.File("fresh");
  std::string partial;
  ASSERT_TRUE(ProduceFileAtomically(DefaultEnv(), fresh, [&](const std::string& temp) {
    partial = ModeOf(temp);
    return Status::Ok();
  }).ok());
  EXPECT_EQ(partial, "0600");
  EXPECT_EQ(ModeOf(fresh), "0640");  // 0666 under the umask

  const std::string kept = dir.File("kept");
  WriteAll(kept, {0});
  ASSERT_EQ(::chmod(kept.c_str(), 0604), 0);
  ASSERT_TRUE(SaveFileAtomically(DefaultEnv(), kept, std::vector<uint8_t>{1}).ok());
  EXPECT_EQ(ModeOf(kept), "0604");
}

}  // namespace
}  // namespace quillon

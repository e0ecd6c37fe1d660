// FileOps against POSIX file modes, for a user they bind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "file_ops_fixture.h"
#include "test_support_posix.h"

namespace quillon {
namespace {

using namespace file_ops_test;

TEST_F(FileOpsTest, OpenFileRefusesAFileItMayOnlyRead) {
  const std::string path = dir_.File("readonly");
  WriteAll(path, {1, 2, 3});
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  std::string why;
  auto outcome = testing::RunUnprivileged(
      [&] {
        if (access(path.c_str(), W_OK) == 0) return 101;  // modes are not enforced here
        Variant result = Do("OpenFile", {Text(path)});
        if (!(result == Long(75)) || ErrorString() != "Path/File access error") return 1;
        return FileSize() == Variant::I2(0) ? 0 : 2;
      },
      &why);
  if (!outcome) GTEST_SKIP() << why;
  if (*outcome == 101) GTEST_SKIP() << "file modes are not enforced for the unprivileged user";
  EXPECT_EQ(*outcome, 0);
  EXPECT_EQ(ReadAll(path), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace quillon

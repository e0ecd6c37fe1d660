// Locations over POSIX file systems: names that differ only in letter case are
// different files, and a FIFO can sit where the database should be.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "location_fixture.h"

namespace quillon {
namespace {

using namespace location_test;

TEST_F(LocationLookup, TheFileOpenedIsTheOneNamedBesideOneThatDiffersInCase) {
  std::filesystem::create_directories(dir_.path() / "cases");
  WriteAll(dir_.File("cases/GEOIPCITY.DAT"), Database({{"0.0.0.0/0", "JP", "40", "Tokyo", ""}}));
  WriteAll(dir_.File("cases/geoipcity.dat"), Database(Networks()));
  EXPECT_EQ(Enable(dir_.File("cases/geoipcity.dat")), Variant::I2(0));
  EXPECT_EQ(ErrorString(), "");
  EXPECT_EQ(Read(*Locate("192.0.2.1")).city, "New York");
  EXPECT_EQ(Enable(dir_.File("cases/GEOIPCITY.DAT")), Variant::I2(0));
  EXPECT_EQ(Read(*Locate("192.0.2.1")).city, "Tokyo");
}

TEST_F(LocationLookup, AFifoIsRefusedUnread) {
  // A FIFO would block the server if it were read.
  ASSERT_EQ(Enable(good_path_), Variant::I2(0));
  const std::string fifo = dir_.File("fifo/GEOIPCITY.DAT");
  std::filesystem::create_directories(std::filesystem::path(fifo).parent_path());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Enable(fifo), Variant::I4(75));
  EXPECT_NE(ErrorString().find("is not a regular file"), std::string::npos) << ErrorString();
  EXPECT_EQ(Read(*Locate("192.0.2.1")), kNowhere) << "lookups are off after a failure";
}

}  // namespace
}  // namespace quillon

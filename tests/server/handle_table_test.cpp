#include "product/quillon_product.h"
#include "server/handle_table.h"

#include <gtest/gtest.h>

#include "core/type_library.h"

namespace quillon::server {
namespace {

class Thing : public Dispatch {
 public:
  const ClassInfo& Class() const override { return *QuillonTypeLibrary().FindClass("FileOps"); }
  HResult Invoke(DispId, uint16_t, std::span<Variant>, Variant*, ExceptionInfo*) override { return hr::kNotImpl; }
};

TEST(HandleTableTest, CountsReferencesPerHandleAndHandsTheObjectOverAtTheLast) {
  HandleTable table;
  auto thing = std::make_shared<Thing>();
  const uint64_t handle = table.Add(thing);
  EXPECT_EQ(table.Add(thing), handle);  // the same object keeps its handle
  EXPECT_EQ(table.Add(thing), handle);

  std::shared_ptr<Dispatch> last;
  EXPECT_EQ(table.Release(handle, 2, &last), HandleTable::Released::kStillHeld);
  EXPECT_EQ(last, nullptr);
  EXPECT_EQ(table.Release(handle, 1, &last), HandleTable::Released::kLast);
  EXPECT_EQ(last, thing);
  EXPECT_EQ(table.Find(handle), nullptr);
  EXPECT_EQ(table.Release(handle, 1, &last), HandleTable::Released::kUnknown);
}

TEST(HandleTableTest, NeverReusesAHandleNumber) {
  HandleTable table;
  auto thing = std::make_shared<Thing>();
  const uint64_t first = table.Add(thing);
  std::shared_ptr<Dispatch> last;
  table.Release(first, 5, &last);  // more than held: all of them
  EXPECT_NE(table.Add(thing), first);
}

TEST(HandleTableTest, TakeAllEmptiesTheTable) {
  HandleTable table;
  table.Add(std::make_shared<Thing>());
  table.Add(std::make_shared<Thing>());
  EXPECT_EQ(table.TakeAll().size(), 2u);
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
}  // namespace quillon::server

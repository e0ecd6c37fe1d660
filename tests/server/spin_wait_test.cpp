#include "server/spin_wait.h"

#include <gtest/gtest.h>

#include <chrono>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace quillon::server {
namespace {

using std::chrono::microseconds;

// A clock that moves only when told, by `step` at each reading.
class ManualClockEnv : public EnvWrapper {
 public:
  ManualClockEnv() : EnvWrapper(DefaultEnv()) {}
  MonotonicTime NowMonotonic() override { return now_ += step; }
  void Advance(microseconds by) { now_ += by; }
  microseconds step{0};

 private:
  MonotonicTime now_{};
};

// The window follows how soon work has been coming: halved (then closed) while
// it comes later than the limit, reopened and doubled while it comes sooner.
TEST(SpinWaitTest, WindowFollowsHowSoonWorkCame) {
  SpinSlots no_slot(0);  // so that Spin only starts the idle time
  ManualClockEnv clock;
  SpinWait spin(no_slot, microseconds(200), clock);
  auto window_after_idle = [&](microseconds idle) {
    EXPECT_FALSE(spin.Spin([] { return true; }));
    clock.Advance(idle);
    spin.Blocked();
    return spin.window().count();
  };
  EXPECT_EQ(spin.window().count(), 200);
  EXPECT_EQ(window_after_idle(microseconds(150)), 200);
  EXPECT_EQ(window_after_idle(microseconds(1000)), 100);
  EXPECT_EQ(window_after_idle(microseconds(1000)), 50);
  EXPECT_EQ(window_after_idle(microseconds(1000)), 0);
  EXPECT_EQ(window_after_idle(microseconds(1000)), 0);
  EXPECT_EQ(window_after_idle(microseconds(80)), 50);
  EXPECT_EQ(window_after_idle(microseconds(80)), 100);
  EXPECT_EQ(window_after_idle(microseconds(200)), 200);
  EXPECT_EQ(window_after_idle(microseconds(80)), 200);
}

TEST(SpinWaitTest, SpinEndsWhenWorkComesOrTheWindowPasses) {
  SpinSlots slots(1);
  ManualClockEnv clock;
  clock.step = microseconds(10);
  SpinWait spin(slots, microseconds(100), clock);
  int looks = 0;
  EXPECT_TRUE(spin.Spin([&] { return ++looks == 3; }));
  EXPECT_EQ(looks, 3);
  looks = 0;
  EXPECT_FALSE(spin.Spin([&] { return ++looks < 0; }));
  EXPECT_GE(looks, 5);
  EXPECT_LE(looks, 11);
  // The slot went back each time.
  EXPECT_TRUE(slots.TryTake());
}

TEST(SpinWaitTest, NoFreeSlotNoLimitOrWaitingToWriteMeansNoSpinning) {
  SpinSlots one(1);
  ASSERT_TRUE(one.TryTake());
  SpinWait busy(one, microseconds(100));
  int looks = 0;
  EXPECT_FALSE(busy.Spin([&] { return ++looks > 0; }));
  one.Give();
  SpinSlots none(0);
  SpinWait unslotted(none, microseconds(100));
  EXPECT_FALSE(unslotted.Spin([&] { return ++looks > 0; }));
  SpinWait off(one, microseconds(0));
  EXPECT_FALSE(off.Spin([&] { return ++looks > 0; }));
  SpinWait writing(one, microseconds(100));
  writing.set_waiting_to_write(true);
  EXPECT_FALSE(writing.Spin([&] { return ++looks > 0; }));
  writing.set_waiting_to_write(false);
  EXPECT_TRUE(writing.Spin([&] { return ++looks > 0; }));
  EXPECT_EQ(looks, 1);
}

// Work that is ready, work that comes while the loop spins and work that comes
// after it has blocked all run, and the loop returns once none is left.
TEST(SpinWaitTest, RunLoopRunsEveryHandlerAndEndsWithTheWork) {
  asio::io_context loop(1);
  SpinSlots slots(1);
  SpinWait spin(slots, microseconds(200));
  int ran = 0;
  asio::steady_timer soon(loop, std::chrono::microseconds(50));
  asio::steady_timer late(loop, std::chrono::milliseconds(20));
  asio::post(loop, [&] { ++ran; });
  soon.async_wait([&](std::error_code) {
    ++ran;
    asio::post(loop, [&] { ++ran; });
  });
  late.async_wait([&](std::error_code) { ++ran; });
  RunLoop(loop, spin);
  EXPECT_EQ(ran, 4);
  EXPECT_TRUE(loop.stopped());
}

}  // namespace
}  // namespace quillon::server

#include "server/spin_wait.h"

#include <algorithm>
#include <thread>

namespace quillon::server {

SpinSlots::SpinSlots(int count) : count_(count) {}

int SpinSlots::DefaultCount() {
  const int processors = static_cast<int>(std::thread::hardware_concurrency());
  return std::max(processors - 1, 0);
}

bool SpinSlots::TryTake() {
  int taken = taken_.load(std::memory_order_relaxed);
  while (taken < count_) {
    if (taken_.compare_exchange_weak(taken, taken + 1, std::memory_order_acquire)) return true;
  }
  return false;
}

void SpinSlots::Give() { taken_.fetch_sub(1, std::memory_order_release); }

SpinWait::SpinWait(SpinSlots& slots, std::chrono::microseconds limit, Env& clock)
    : slots_(slots), limit_(limit), clock_(clock), window_(limit) {}

// A wait that ended within the limit would have been caught by a wider
// window, so the window doubles (from a quarter of the limit when closed); one
// that outlasted the limit shows spinning was wasted, so it halves, and closes
// below that quarter.
void SpinWait::Blocked() {
  if (limit_.count() == 0) return;
  const auto idle = clock_.NowMonotonic() - idle_since_;
  const auto start = std::max(limit_ / 4, std::chrono::microseconds(1));
  if (idle <= limit_) {
    window_ = std::min(std::max(window_ * 2, start), limit_);
  } else {
    window_ /= 2;
    if (window_ < start) window_ = std::chrono::microseconds(0);
  }
}

void RunLoop(asio::io_context& loop, SpinWait& spin) {
  for (;;) {
    if (loop.poll() > 0) continue;
    if (loop.stopped()) return;  // out of work
    if (spin.Spin([&loop] { return loop.poll() > 0 || loop.stopped(); })) continue;
    const size_t ran = loop.run_one();
    spin.Blocked();
    if (ran == 0) return;
  }
}

}  // namespace quillon::server

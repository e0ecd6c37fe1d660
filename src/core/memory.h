// The allowances the process shares out of its memory (what the system says
// the process has: platform/process_memory.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace quillon {

// A number of bytes that holders on any thread take from and give back, so that
// together they never hold more than the limit.
class MemoryBudget {
 public:
  static constexpr int64_t kUnlimited = std::numeric_limits<int64_t>::max();

  explicit MemoryBudget(int64_t limit = kUnlimited) : limit_(limit) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  void set_limit(int64_t limit) { limit_.store(limit, std::memory_order_relaxed); }
  int64_t limit() const { return limit_.load(std::memory_order_relaxed); }
  int64_t taken() const { return taken_.load(std::memory_order_relaxed); }

  // Takes `bytes` when they fit beside what all holders have taken; otherwise
  // takes nothing and returns false.
  bool Take(int64_t bytes);
  // Gives back bytes taken before.
  void Give(int64_t bytes) { taken_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> limit_;
  std::atomic<int64_t> taken_{0};
};

}  // namespace quillon

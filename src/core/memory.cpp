#include "core/memory.h"

namespace quillon {

bool MemoryBudget::Take(int64_t bytes) {
  int64_t taken = taken_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit() - taken) return false;
  } while (!taken_.compare_exchange_weak(taken, taken + bytes, std::memory_order_relaxed));
  return true;
}

}  // namespace quillon

// The process's memory as the system sees it.
#pragma once

#include <cstdint>

namespace quillon {

// Hands the pages of freed memory back to the system, as far as the allocator
// can. For after a large, short-lived use ends: freed blocks that lie among
// smaller, longer-lived allocations would otherwise keep their pages for good.
void ReturnFreeMemory();

// The memory this process may use: the machine's physical memory, or the limit
// of the process's control group where that is lower. 0 when nothing can be read.
int64_t MemoryAvailableToProcess();

}  // namespace quillon

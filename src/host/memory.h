// The process's memory as the system sees it.
#pragma once

namespace quillon {

// Hands the pages of freed memory back to the system, as far as the allocator
// can. For after a large, short-lived use ends: freed blocks that lie among
// smaller, longer-lived allocations would otherwise keep their pages for good.
void ReturnFreeMemory();

}  // namespace quillon

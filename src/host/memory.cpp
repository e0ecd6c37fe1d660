#include "host/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillon {

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace quillon

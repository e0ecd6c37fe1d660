#include "platform/process_memory.h"

#include <malloc.h>
#include <windows.h>

namespace quillon {

void ReturnFreeMemory() { _heapmin(); }

int64_t MemoryAvailableToProcess() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return 0;
  return static_cast<int64_t>(status.ullTotalPhys);
}

}  // namespace quillon

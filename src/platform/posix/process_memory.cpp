#include "platform/process_memory.h"

#include <unistd.h>

#include <fstream>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillon {
namespace {

// The first number in a file such as memory.max, or 0 for "max", a missing
// file or anything else.
int64_t ReadLimitFile(const std::string& path) {
  std::ifstream file(path);
  std::string word;
  if (!(file >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return 0;
  try {
    return std::stoll(word);
  } catch (const std::exception&) {
    return 0;  // beyond 64 bits: no limit worth the name
  }
}

// The memory limit of the process's own control group (v2, then v1); 0 when none.
int64_t ControlGroupLimit() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  int64_t lowest = 0;
  while (std::getline(groups, line)) {
    // "0::/path" (v2) or "N:memory:/path" (v1).
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    int64_t limit = 0;
    if (controllers.empty()) {
      limit = ReadLimitFile("/sys/fs/cgroup" + path + "/memory.max");
    } else if (controllers.find("memory") != std::string::npos) {
      limit = ReadLimitFile("/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes");
    }
    if (limit > 0 && (lowest == 0 || limit < lowest)) lowest = limit;
  }
  return lowest;
}

}  // namespace

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

int64_t MemoryAvailableToProcess() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  int64_t memory = pages > 0 && page_size > 0 ? int64_t{pages} * page_size : 0;
  const int64_t group = ControlGroupLimit();
  if (group > 0 && (memory == 0 || group < memory)) memory = group;
  return memory;
}

}  // namespace quillon

#include "host/cares_library.h"

#include <ares.h>

namespace quillon {

bool CaresLibraryReady() {
  // Never cleaned up: channels of any thread may outlive whoever came first.
  static const bool ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
  return ready;
}

}  // namespace quillon

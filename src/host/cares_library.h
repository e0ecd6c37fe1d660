// c-ares's process-wide set-up, done once for every channel of every thread:
// ares_library_init itself is not safe to call from two threads at once.
#pragma once

namespace quillon {

// True once the library is ready for channels.
bool CaresLibraryReady();

}  // namespace quillon

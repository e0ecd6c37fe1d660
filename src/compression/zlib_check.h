// The compression library check made whenever a FileOps object is created.
#pragma once

namespace quillon {

// zlib is linked into the program, so there is no library file to write out:
// True when the zlib the program runs with is compatible with the headers it was
// built against.
bool ExtractZlib();

}  // namespace quillon

#include "compression/zlib_check.h"

#include <zlib.h>

#include <string_view>

namespace quillon {
namespace {

// The major version: zlib keeps its interface within one.
std::string_view MajorVersion(std::string_view version) {
  return version.substr(0, version.find('.'));
}

}  // namespace

bool ExtractZlib() {
  const char* linked = zlibVersion();
  return linked != nullptr && MajorVersion(linked) == MajorVersion(ZLIB_VERSION);
}

}  // namespace quillon

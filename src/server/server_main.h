// The server program: options, environment and the loop. A build of the server
// that carries classes of its own (the test build) passes an extension.
#pragma once

#include <functional>

#include "core/registry.h"
#include "core/type_library.h"

namespace quillon::server {

using ServerExtension = std::function<void(ClassRegistry& registry, TypeLibrary& library)>;

int RunServer(int argc, char** argv, const ServerExtension& extend = {});

}  // namespace quillon::server

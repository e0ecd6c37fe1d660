// The product: Quillon's type library and its classes, put together for the
// programs. The front ends make a QuillonHost and serve what it registers; the
// classes themselves know only the Host they are given.
#pragma once

#include "core/env.h"
#include "core/host.h"
#include "core/registry.h"
#include "core/type_library.h"

namespace quillon {

// Downloader, IPInfo, Location and FileOps, with their DISPIDs and help strings.
const TypeLibrary& QuillonTypeLibrary();

// Registers the creatable classes by ProgID. Location is absent on purpose:
// clients obtain one only from IPInfo.GetLocationFromIP.
void RegisterQuillonClasses(ClassRegistry& registry);

// The process state with the product's classes registered.
class QuillonHost : public Host {
 public:
  explicit QuillonHost(Env& env = DefaultEnv()) : Host(QuillonTypeLibrary(), env) {
    RegisterQuillonClasses(registry());
  }
};

}  // namespace quillon

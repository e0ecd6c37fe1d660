// EventProbe: a class with events that exists only in the test build of the
// server, so the binding's events, object results and lifetimes can be tested
// before any real class with events exists.
#pragma once

#include "core/registry.h"
#include "core/type_library.h"

namespace quillon::testing {

// Adds "Quillon.EventProbe" to the registry and its class to the library.
void RegisterEventProbe(ClassRegistry& registry, TypeLibrary& library);

}  // namespace quillon::testing

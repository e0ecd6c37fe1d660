// The class registry: ProgID -> factory for the classes clients may create.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/dispatch.h"

namespace quillon {

class Host;

// The per-client context a factory creates into. Each client connection has its
// own; engines that the objects of one client share hang off it.
class ClientScope {
 public:
  virtual ~ClientScope() = default;
};

class ClassRegistry {
 public:
  using Factory = std::function<std::shared_ptr<Dispatch>(Host&, ClientScope&)>;

  // Registers a creatable class of the type library under its ProgID.
  void Register(const ClassInfo& info, Factory factory);

  // Creates an object by ProgID (case-insensitive). CO_E_CLASSSTRING for a name
  // that is not registered, including classes clients cannot create.
  HResult Create(std::u16string_view progid, Host& host, ClientScope& scope,
                 std::shared_ptr<Dispatch>* object) const;

  std::vector<const ClassInfo*> classes() const;

 private:
  struct Entry {
    const ClassInfo* info;
    Factory factory;
  };
  std::vector<Entry> entries_;
};

// Registers the system's creatable classes.
void RegisterQuillonClasses(ClassRegistry& registry);

}  // namespace quillon

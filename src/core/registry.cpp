#include "core/registry.h"

#include "core/text.h"

namespace quillon {

void ClassRegistry::Register(const ClassInfo& info, Factory factory) {
  entries_.push_back({&info, std::move(factory)});
}

HResult ClassRegistry::Create(std::u16string_view progid, Host& host, ClientScope& scope,
                              std::shared_ptr<Dispatch>* object) const {
  for (const Entry& entry : entries_) {
    if (!EqualsIgnoreCase(progid, entry.info->progid)) continue;
    *object = entry.factory(host, scope);
    return *object ? hr::kOk : hr::kOutOfMemory;
  }
  return hr::kClassString;
}

std::vector<const ClassInfo*> ClassRegistry::classes() const {
  std::vector<const ClassInfo*> out;
  for (const Entry& entry : entries_) out.push_back(entry.info);
  return out;
}

}  // namespace quillon

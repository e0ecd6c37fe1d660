// The objects one connection holds, by handle. A handle counts the references
// the client holds: every result that carries the object adds one, a release
// gives some back. The same object always travels under the same handle while
// the client holds it; a handle number is never used twice on a connection.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/dispatch.h"

namespace quillon::server {

class HandleTable {
 public:
  uint64_t Add(const std::shared_ptr<Dispatch>& object);
  std::shared_ptr<Dispatch> Find(uint64_t handle) const;

  enum class Released { kUnknown, kStillHeld, kLast };
  // Gives back `count` references (all of them when count exceeds what is held).
  // On kLast the handle is gone and `*object` receives the object, so the
  // caller decides when it ends.
  Released Release(uint64_t handle, uint64_t count, std::shared_ptr<Dispatch>* object);

  // Empties the table, handing over every object.
  std::vector<std::shared_ptr<Dispatch>> TakeAll();

  size_t size() const { return by_handle_.size(); }

 private:
  struct Entry {
    std::shared_ptr<Dispatch> object;
    uint64_t count = 0;
  };
  std::unordered_map<uint64_t, Entry> by_handle_;
  std::unordered_map<const Dispatch*, uint64_t> by_object_;
  uint64_t next_handle_ = 1;
};

}  // namespace quillon::server

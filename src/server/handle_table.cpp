#include "server/handle_table.h"

namespace quillon::server {

uint64_t HandleTable::Add(const std::shared_ptr<Dispatch>& object) {
  if (auto known = by_object_.find(object.get()); known != by_object_.end()) {
    ++by_handle_[known->second].count;
    return known->second;
  }
  const uint64_t handle = next_handle_++;
  by_handle_[handle] = {object, 1};
  by_object_[object.get()] = handle;
  return handle;
}

std::shared_ptr<Dispatch> HandleTable::Find(uint64_t handle) const {
  auto it = by_handle_.find(handle);
  return it == by_handle_.end() ? nullptr : it->second.object;
}

HandleTable::Released HandleTable::Release(uint64_t handle, uint64_t count,
                                           std::shared_ptr<Dispatch>* object) {
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return Released::kUnknown;
  if (count < it->second.count) {
    it->second.count -= count;
    return Released::kStillHeld;
  }
  *object = std::move(it->second.object);
  by_object_.erase(object->get());
  by_handle_.erase(it);
  return Released::kLast;
}

std::vector<std::shared_ptr<Dispatch>> HandleTable::TakeAll() {
  std::vector<std::shared_ptr<Dispatch>> objects;
  objects.reserve(by_handle_.size());
  for (auto& [handle, entry] : by_handle_) objects.push_back(std::move(entry.object));
  by_handle_.clear();
  by_object_.clear();
  return objects;
}

}  // namespace quillon::server

#include "core/host.h"

#include <algorithm>

namespace quillon {

int16_t FileNumberPool::Acquire() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (int16_t number = kFirst; number <= kLast; ++number) {
    if (!taken_[number]) {
      taken_[number] = true;
      return number;
    }
  }
  return 0;
}

void FileNumberPool::Release(int16_t number) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (number >= kFirst && number <= kLast) taken_[number] = false;
}

int FileNumberPool::in_use() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(taken_.begin(), taken_.end(), true));
}

Host::Host(const TypeLibrary& library, Env& env) : library_(library), env_(env) {}

}  // namespace quillon

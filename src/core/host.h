// Host: the process-wide state, passed to whatever needs it (no hidden globals).
// Clients are served on threads of their own: what they share here is either
// safe to share (the pool, the download budget) or set before they start.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/client_settings.h"
#include "core/env.h"
#include "core/memory.h"
#include "core/registry.h"
#include "core/type_library.h"

namespace quillon {

// The pool of file numbers that files opened by the system draw from (1 to 511),
// shared by every client of the process, whatever thread serves it.
class FileNumberPool {
 public:
  static constexpr int16_t kFirst = 1;
  static constexpr int16_t kLast = 511;

  // The lowest free number, or 0 when all are taken (run-time error 67 for callers).
  int16_t Acquire();
  void Release(int16_t number);
  int in_use() const;

 private:
  mutable std::mutex mutex_;
  std::vector<bool> taken_ = std::vector<bool>(kLast + 1, false);
};

class Host {
 public:
  // `library` describes the classes the program registers (registry()).
  explicit Host(const TypeLibrary& library, Env& env = DefaultEnv());
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  Env& env() { return env_; }
  const TypeLibrary& library() const { return library_; }
  FileNumberPool& file_numbers() { return file_numbers_; }
  ClassRegistry& registry() { return registry_; }
  // How the process reaches the network; a client may bring its own (ClientScope).
  NetworkSettings& network() { return network_; }
  // What all downloads of the process may hold in memory together.
  MemoryBudget& download_memory() { return download_memory_; }
  // The largest answer the front end can carry, in bytes (0: no limit): a member
  // whose result is known to be larger is refused before it is built.
  size_t largest_answer() const { return largest_answer_; }
  void set_largest_answer(size_t bytes) { largest_answer_ = bytes; }

 private:
  const TypeLibrary& library_;
  Env& env_;
  FileNumberPool file_numbers_;
  ClassRegistry registry_;
  NetworkSettings network_;
  MemoryBudget download_memory_;
  size_t largest_answer_ = 0;
};

}  // namespace quillon

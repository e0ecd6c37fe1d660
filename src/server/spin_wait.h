// How a client's thread waits for its next piece of work. A script that makes
// calls one after another leaves the thread idle for only a few tens of
// microseconds between them, but if the thread sleeps, waking it again can
// cost more than the call's own work on a virtual machine whose processors
// halt when idle, and more again when the host is busy. So before it blocks, the thread keeps looking for work for a short
// window. The window adapts to how soon work has been coming: it grows while
// work keeps arriving a little too late for it, and shrinks to nothing while
// work comes later than the limit, so a client that pauses costs one window
// at most, and then nothing.
#pragma once

#include <atomic>
#include <chrono>

#include <asio/io_context.hpp>

#include "core/env.h"

namespace quillon::server {

// How many client threads of the server may spin at once: spinning on every
// processor would starve the clients it is meant to serve.
class SpinSlots {
 public:
  // `count` 0: nobody spins. The default leaves one processor to the clients.
  explicit SpinSlots(int count);
  static int DefaultCount();

  bool TryTake();
  void Give();

 private:
  const int count_;
  std::atomic<int> taken_{0};
};

class SpinWait {
 public:
  // `limit` is the longest window (0: never spin).
  SpinWait(SpinSlots& slots, std::chrono::microseconds limit, Env& clock = DefaultEnv());

  // Looks for work by calling `found` (true once there is some) until the
  // window passes. True if work came while spinning; false if it did not or
  // the window is closed or no slot is free, and then the caller blocks and
  // calls Blocked once its wait has ended.
  template <typename Found>
  bool Spin(Found&& found);
  void Blocked();

  // While the thread waits for room to write a large answer, it does not
  // spin: the reader takes the answer as fast as it can, and polling beside
  // the copying only slows it.
  void set_waiting_to_write(bool waiting) { waiting_to_write_ = waiting; }

  std::chrono::microseconds window() const { return window_; }

 private:
  SpinSlots& slots_;
  const std::chrono::microseconds limit_;
  Env& clock_;
  std::chrono::microseconds window_;
  MonotonicTime idle_since_{};
  bool waiting_to_write_ = false;
};

// Runs `loop` until it has no work left, with `spin` before each blocking wait.
void RunLoop(asio::io_context& loop, SpinWait& spin);

template <typename Found>
bool SpinWait::Spin(Found&& found) {
  idle_since_ = clock_.NowMonotonic();
  if (window_.count() == 0 || waiting_to_write_ || !slots_.TryTake()) return false;
  bool came = false;
  do {
    came = found();
  } while (!came && clock_.NowMonotonic() - idle_since_ < window_);
  slots_.Give();
  return came;
}

}  // namespace quillon::server

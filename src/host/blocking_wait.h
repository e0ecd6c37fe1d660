// Every wait that blocks a client's thread (a connect, a request that the socket
// will not take, a name lookup, an event's answer) goes through PollUntil, so
// that one WaitInterrupt per client can end them all at once when the server
// shuts down.
#pragma once

#include <poll.h>

#include <chrono>
#include <span>

namespace quillon {

enum class WaitResult {
  kReady,        // at least one descriptor has a revents entry
  kTimedOut,     // the deadline passed
  kInterrupted,  // the interrupt was raised
  kFailed,       // poll failed; errno says why
};

// A flag that wakes blocking waits, raised from any thread.
class WaitInterrupt {
 public:
  WaitInterrupt();
  ~WaitInterrupt();
  WaitInterrupt(const WaitInterrupt&) = delete;
  WaitInterrupt& operator=(const WaitInterrupt&) = delete;

  // Ends every wait on it, now and from now on.
  void Raise();
  bool raised() const;

 private:
  friend WaitResult PollUntil(std::span<pollfd>, std::chrono::steady_clock::time_point, const WaitInterrupt*);
  int fd_ = -1;  // an eventfd, readable once raised
};

// Waits until one of `fds` is ready for its events, the deadline passes, or
// `interrupt` (may be null) is raised.
WaitResult PollUntil(std::span<pollfd> fds, std::chrono::steady_clock::time_point deadline,
                     const WaitInterrupt* interrupt);

}  // namespace quillon

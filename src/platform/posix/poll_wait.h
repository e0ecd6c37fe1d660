// Every wait that blocks a client's thread on POSIX (a connect, a request the
// socket will not take, a name lookup, an event's answer) goes through
// PollUntil, so that one WaitInterrupt per client can end them all at once.
#pragma once

#include <poll.h>

#include <chrono>
#include <span>

#include "core/env.h"
#include "platform/wait_interrupt.h"

namespace quillon {

enum class WaitResult {
  kReady,        // at least one descriptor has a revents entry
  kTimedOut,     // the deadline passed
  kInterrupted,  // the interrupt was raised
  kFailed,       // poll failed; errno says why
};

// Waits until one of `fds` is ready for its events, the deadline passes on
// `clock`, or `interrupt` (may be null) is raised.
WaitResult PollUntil(std::span<pollfd> fds, MonotonicTime deadline, const WaitInterrupt* interrupt,
                     Env& clock = DefaultEnv());

}  // namespace quillon

#include "platform/posix/poll_wait.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace quillon {

WaitInterrupt::WaitInterrupt() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WaitInterrupt::~WaitInterrupt() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void WaitInterrupt::Raise() {
  const uint64_t one = 1;
  if (handle_ >= 0) (void)!::write(static_cast<int>(handle_), &one, sizeof one);
}

bool WaitInterrupt::raised() const {
  if (handle_ < 0) return false;
  pollfd entry{static_cast<int>(handle_), POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0;
}

WaitResult PollUntil(std::span<pollfd> fds, MonotonicTime deadline, const WaitInterrupt* interrupt, Env& clock) {
  // The interrupt's descriptor rides behind the caller's; it is never read, so
  // once raised it stays readable for every later wait too.
  std::vector<pollfd> watched(fds.begin(), fds.end());
  const bool interruptible = interrupt != nullptr && interrupt->native_handle() >= 0;
  if (interruptible) watched.push_back(pollfd{static_cast<int>(interrupt->native_handle()), POLLIN, 0});
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.NowMonotonic());
    const int timeout = left.count() <= 0 ? 0 : left.count() > 60'000 ? 60'000 : static_cast<int>(left.count());
    const int ready = ::poll(watched.data(), static_cast<nfds_t>(watched.size()), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kFailed;
    }
    if (interruptible && watched.back().revents != 0) return WaitResult::kInterrupted;
    if (ready > 0) {
      for (size_t i = 0; i < fds.size(); ++i) fds[i].revents = watched[i].revents;
      return WaitResult::kReady;
    }
    if (timeout == 0 || clock.NowMonotonic() >= deadline) return WaitResult::kTimedOut;
  }
}

}  // namespace quillon

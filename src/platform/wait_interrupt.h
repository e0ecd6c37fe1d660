// A flag that ends every blocking wait of a client at once, raised from any
// thread (the server raises it when it shuts down). Each platform keeps its
// waits in one place (POSIX: platform/posix/poll_wait.h) and has them watch it.
#pragma once

#include <cstdint>

namespace quillon {

class WaitInterrupt {
 public:
  WaitInterrupt();
  ~WaitInterrupt();
  WaitInterrupt(const WaitInterrupt&) = delete;
  WaitInterrupt& operator=(const WaitInterrupt&) = delete;

  // Ends every wait on it, now and from now on.
  void Raise();
  bool raised() const;

  // What the platform's waits watch (POSIX: an eventfd, readable once raised);
  // -1 when it could not be made, and then nothing is interrupted.
  intptr_t native_handle() const { return handle_; }

 private:
  intptr_t handle_ = -1;
};

}  // namespace quillon

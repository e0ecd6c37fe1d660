#include "platform/wait_interrupt.h"

#include <windows.h>

namespace quillon {
namespace {

HANDLE EventOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

// A manual-reset event: once set it stays set, so every later wait ends too.
WaitInterrupt::WaitInterrupt() {
  if (HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr)) handle_ = reinterpret_cast<intptr_t>(event);
}

WaitInterrupt::~WaitInterrupt() {
  if (handle_ != -1) ::CloseHandle(EventOf(handle_));
}

void WaitInterrupt::Raise() {
  if (handle_ != -1) ::SetEvent(EventOf(handle_));
}

bool WaitInterrupt::raised() const {
  return handle_ != -1 && ::WaitForSingleObject(EventOf(handle_), 0) == WAIT_OBJECT_0;
}

}  // namespace quillon

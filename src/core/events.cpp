#include "core/events.h"

#include <vector>

namespace quillon {

uint32_t ConnectionPoint::Advise(std::shared_ptr<Dispatch> sink) { return sinks_.Add(std::move(sink)); }

HResult ConnectionPoint::Unadvise(uint32_t cookie) {
  return sinks_.Remove(cookie) ? hr::kOk : hr::kConnectNoConnection;
}

void ConnectionPoint::Raise(DispId dispid, std::span<Variant> args) {
  // Each sink gets its own copy of the arguments: one sink's changes must not
  // reach the next.
  sinks_.DeliverToEach([&](const std::shared_ptr<Dispatch>& sink) {
    std::vector<Variant> copy(args.begin(), args.end());
    ExceptionInfo ignored;
    sink->Invoke(dispid, kDispatchMethod, copy, nullptr, &ignored);
  });
}

}  // namespace quillon

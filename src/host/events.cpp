#include "host/events.h"

#include <algorithm>

namespace quillon {

uint32_t ConnectionPoint::Advise(std::shared_ptr<Dispatch> sink) {
  const uint32_t cookie = next_cookie_++;
  sinks_.push_back({cookie, std::move(sink)});
  return cookie;
}

HResult ConnectionPoint::Unadvise(uint32_t cookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(), [&](const Connection& c) { return c.cookie == cookie; });
  if (it == sinks_.end()) return hr::kConnectNoConnection;
  sinks_.erase(it);
  return hr::kOk;
}

void ConnectionPoint::Raise(DispId dispid, std::span<Variant> args) {
  // A sink may connect or disconnect sinks while it runs, so walk a snapshot
  // and skip those that are gone by their turn. Each sink gets its own copy of
  // the arguments: one sink's changes must not reach the next.
  const std::vector<Connection> snapshot = sinks_;
  for (const Connection& connection : snapshot) {
    const bool still_connected = std::any_of(sinks_.begin(), sinks_.end(),
                                             [&](const Connection& c) { return c.cookie == connection.cookie; });
    if (!still_connected) continue;
    std::vector<Variant> copy(args.begin(), args.end());
    ExceptionInfo ignored;
    connection.sink->Invoke(dispid, kDispatchMethod, copy, nullptr, &ignored);
  }
}

}  // namespace quillon

// Connection points: the sinks connected to an object's event interface.
// Raising an event calls every sink in the order they connected, synchronously;
// Raise returns only after the last sink has returned.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/dispatch.h"
#include "core/subscriber_list.h"

namespace quillon {

class ConnectionPoint {
 public:
  explicit ConnectionPoint(const InterfaceInfo& events) : events_(events) {}

  const InterfaceInfo& interface() const { return events_; }

  // Connects a sink; returns its cookie (never 0).
  uint32_t Advise(std::shared_ptr<Dispatch> sink);
  // Disconnects a sink: hr::kOk, or CONNECT_E_NOCONNECTION for an unknown cookie.
  HResult Unadvise(uint32_t cookie);
  void UnadviseAll() { sinks_.Clear(); }
  size_t sink_count() const { return sinks_.size(); }

  // Calls every sink connected when the event is raised. A sink that disconnects
  // (itself or another) while the event runs is not called afterwards; what a sink
  // answers is not looked at, since the source has no use for it.
  void Raise(DispId dispid, std::span<Variant> args);

 private:
  const InterfaceInfo& events_;
  SubscriberList<std::shared_ptr<Dispatch>, uint32_t> sinks_;  // ids are the cookies
};

}  // namespace quillon

// Forward name lookup for the HTTP engine: a name (or dotted address) to the first
// IPv4 address it has. The lookup blocks its caller, since RequestFile reports a
// name that does not resolve in its own result, but never for long and never by
// running the event loop.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/env.h"
#include "platform/wait_interrupt.h"
#include "platform/socket_layer.h"

namespace quillon::http {

class HostResolver {
 public:
  virtual ~HostResolver() = default;
  // The first IPv4 address of the name, or nothing when it has none.
  virtual std::optional<Ipv4Address> Resolve(std::string_view name) = 0;
};

// The platform's resolver. `dns_servers` ("ADDR:PORT[,ADDR:PORT...]") names the
// only servers to ask and turns the hosts file off; empty means the system's
// configuration. A lookup gives up after `limit` in all on `clock`, or at once
// when `interrupt` (may be null) is raised.
std::unique_ptr<HostResolver> MakeSystemHostResolver(std::string dns_servers,
                                                     std::chrono::milliseconds limit = std::chrono::seconds(10),
                                                     const WaitInterrupt* interrupt = nullptr,
                                                     Env& clock = DefaultEnv());

}  // namespace quillon::http

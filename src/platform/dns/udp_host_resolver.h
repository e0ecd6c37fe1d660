// The HTTP engine's forward lookup on the project's own UDP DNS client, for
// platforms without c-ares.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/host_resolver.h"

namespace quillon::http {

// Asks only the servers of `dns_servers` ("ADDR:PORT[,ADDR:PORT...]") for A
// records; a dotted quad is its own answer and asks nobody. When the list is
// malformed or empty every other name has no address: this client reads no
// system configuration. Each lookup runs a private loop of the resolver's own,
// never the caller's, and gives up after `limit` in all, or within a slice of
// 20 ms once `interrupt` (may be null) is raised; the limit runs on `clock`.
std::unique_ptr<HostResolver> MakeUdpHostResolver(std::string dns_servers,
                                                  std::chrono::milliseconds limit = std::chrono::seconds(10),
                                                  const WaitInterrupt* interrupt = nullptr, Env& clock = DefaultEnv());

}  // namespace quillon::http

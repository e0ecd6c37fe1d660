// The platform's asynchronous reverse lookup, as the lookup engine uses it.
// The engine's tests replace it; the server uses the platform's resolver below.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace quillon {

class ReverseResolver {
 public:
  // found: the lookup gave a host name (`name`, the host entry's name as its
  // bytes); otherwise it ended with an error.
  using Done = std::function<void(bool found, std::string name)>;

  virtual ~ReverseResolver() = default;

  // Starts the lookup of an IPv4 address (its four bytes, most significant
  // first). False when the lookup cannot be started; `done` is then never
  // called. Otherwise `done` is called exactly once, possibly before Start
  // returns (an answer from the hosts file), unless the resolver is destroyed
  // first: lookups still running then end silently.
  virtual bool Start(const std::array<uint8_t, 4>& address, Done done) = 0;
};

// What the platform's resolver asks.
struct ResolverSettings {
  // "ADDR:PORT[,ADDR:PORT...]": only these DNS servers, and no hosts file. Empty:
  // the system's configuration (resolv.conf and the hosts file).
  std::string dns_servers;
  // The time-out of one attempt and the number of attempts; 0 keeps the
  // system's (or the resolver library's) values.
  int attempt_timeout_ms = 0;
  int attempts = 0;
};

// The platform's reverse resolver, whose sockets and timers run on `loop`;
// nothing runs on another thread. Null when it cannot be set up (a malformed
// server list, for one): no lookup can start then.
std::unique_ptr<ReverseResolver> MakeSystemReverseResolver(asio::io_context& loop, const ResolverSettings& settings);

}  // namespace quillon

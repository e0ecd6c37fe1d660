#include "platform/dns/udp_host_resolver.h"

#include <algorithm>
#include <asio/io_context.hpp>
#include <optional>
#include <utility>

#include "platform/dns/udp_dns_client.h"

namespace quillon::http {
namespace {

// How late a raised interrupt may be seen.
constexpr std::chrono::milliseconds kSlice(20);

class UdpHostResolver final : public HostResolver {
 public:
  UdpHostResolver(std::optional<dns::LookupSettings> settings, std::chrono::milliseconds limit,
                  const WaitInterrupt* interrupt, Env& clock)
      : settings_(std::move(settings)), limit_(limit), interrupt_(interrupt), clock_(clock) {}

  std::optional<Ipv4Address> Resolve(std::string_view name) override {
    // A NUL would end the name early on the way to any other resolver.
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    if (const std::optional<dns::Ipv4> address = dns::ParseDottedQuad(name)) return *address;
    if (!settings_ || Interrupted()) return std::nullopt;

    std::optional<Ipv4Address> found;
    {
      dns::UdpDnsClient client(loop_, *settings_);
      bool ended = false;
      const bool started = client.Lookup({std::string(name), dns::kTypeA}, [&](const dns::Reply& reply) {
        ended = true;
        if (reply.outcome == dns::Outcome::kAnswer && !reply.addresses.empty()) found = reply.addresses.front();
      });
      const MonotonicTime deadline = clock_.NowMonotonic() + limit_;
      // Bounded by the deadline; the count only guards against a clock that stalls.
      for (int slice = 0; started && !ended && slice < 1'000'000 && !Interrupted(); ++slice) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_.NowMonotonic());
        if (left.count() <= 0) break;
        loop_.restart();
        loop_.run_for(std::min<std::chrono::milliseconds>(left, kSlice));
      }
    }
    // The client's end cancelled what it left running; the cancelled handlers
    // run now, letting go of the lookup's socket.
    loop_.restart();
    loop_.poll();
    return found;
  }

 private:
  bool Interrupted() const { return interrupt_ != nullptr && interrupt_->raised(); }

  const std::optional<dns::LookupSettings> settings_;
  const std::chrono::milliseconds limit_;
  const WaitInterrupt* const interrupt_;
  Env& clock_;
  asio::io_context loop_;
};

}  // namespace

std::unique_ptr<HostResolver> MakeUdpHostResolver(std::string dns_servers, std::chrono::milliseconds limit,
                                                  const WaitInterrupt* interrupt, Env& clock) {
  std::optional<dns::LookupSettings> settings;
  dns::LookupSettings parsed;
  if (dns::ParseServerList(dns_servers, &parsed.servers).ok()) {
    // As the c-ares resolver: short tries, so a second server still gets its
    // turn within the limit.
    parsed.attempt_timeout = std::chrono::milliseconds(2000);
    parsed.attempts = 3;
    settings = std::move(parsed);
  }
  return std::make_unique<UdpHostResolver>(std::move(settings), limit, interrupt, clock);
}

}  // namespace quillon::http

#include "platform/dns/udp_reverse_resolver.h"

#include <chrono>
#include <string>
#include <utility>

#include "platform/dns/udp_dns_client.h"

namespace quillon {
namespace {

class UdpReverseResolver final : public ReverseResolver {
 public:
  UdpReverseResolver(asio::io_context& loop, dns::LookupSettings settings) : client_(loop, std::move(settings)) {}

  bool Start(const std::array<uint8_t, 4>& address, Done done) override {
    return client_.Lookup(dns::ReverseQuestion(address), [done = std::move(done)](const dns::Reply& reply) {
      const bool found = reply.outcome == dns::Outcome::kAnswer;
      done(found, found ? reply.name : std::string());
    });
  }

 private:
  dns::UdpDnsClient client_;
};

}  // namespace

std::unique_ptr<ReverseResolver> MakeUdpReverseResolver(asio::io_context& loop, const ResolverSettings& settings) {
  dns::LookupSettings client;
  if (!dns::ParseServerList(settings.dns_servers, &client.servers).ok()) return nullptr;
  if (settings.attempt_timeout_ms > 0) client.attempt_timeout = std::chrono::milliseconds(settings.attempt_timeout_ms);
  if (settings.attempts > 0) client.attempts = settings.attempts;
  return std::make_unique<UdpReverseResolver>(loop, std::move(client));
}

}  // namespace quillon

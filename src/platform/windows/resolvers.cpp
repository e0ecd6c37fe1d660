// Name lookups on Windows. With DNS servers named in the settings, the
// project's own client asks exactly those (the system's calls would ask the
// machine's resolver, whatever the settings say); without, the system's
// resolver answers, through getaddrinfo and getnameinfo.
#include <asio.hpp>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dns/udp_host_resolver.h"
#include "platform/dns/udp_reverse_resolver.h"
#include "platform/host_resolver.h"
#include "platform/reverse_resolver.h"
#include "platform/wait_interrupt.h"

namespace quillon {
namespace http {
namespace {

constexpr std::chrono::milliseconds kSlice(50);

// getaddrinfo cannot be bounded or interrupted, so it runs on a thread of its
// own that outlives a caller who stops waiting; the answer then goes nowhere.
class SystemHostResolver final : public HostResolver {
 public:
  SystemHostResolver(std::chrono::milliseconds limit, const WaitInterrupt* interrupt, Env& clock)
      : limit_(limit), interrupt_(interrupt), clock_(clock) {}

  std::optional<Ipv4Address> Resolve(std::string_view name) override {
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    struct Shared {
      std::mutex mutex;
      std::condition_variable done_changed;
      bool done = false;
      std::optional<Ipv4Address> address;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, host = std::string(name)] {
      std::optional<Ipv4Address> found;
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* list = nullptr;
      if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list != nullptr) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
        Ipv4Address bytes;
        std::memcpy(bytes.data(), &address->sin_addr, bytes.size());
        found = bytes;
      }
      if (list != nullptr) ::freeaddrinfo(list);
      const std::lock_guard<std::mutex> lock(shared->mutex);
      shared->address = found;
      shared->done = true;
      shared->done_changed.notify_all();
    }).detach();

    const MonotonicTime deadline = clock_.NowMonotonic() + limit_;
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (!shared->done) {
      if (interrupt_ != nullptr && interrupt_->raised()) return std::nullopt;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_.NowMonotonic());
      if (left.count() <= 0) return std::nullopt;
      shared->done_changed.wait_for(lock, std::min(left, kSlice));
    }
    return shared->address;
  }

 private:
  const std::chrono::milliseconds limit_;
  const WaitInterrupt* const interrupt_;
  Env& clock_;
};

}  // namespace

std::unique_ptr<HostResolver> MakeSystemHostResolver(std::string dns_servers, std::chrono::milliseconds limit,
                                                     const WaitInterrupt* interrupt, Env& clock) {
  if (!dns_servers.empty()) return MakeUdpHostResolver(std::move(dns_servers), limit, interrupt, clock);
  return std::make_unique<SystemHostResolver>(limit, interrupt, clock);
}

}  // namespace http

namespace {

// Asio's resolver runs getnameinfo on a thread of its own and answers on the
// loop. It gives the address itself when there is no name; that is no name.
class SystemReverseResolver final : public ReverseResolver {
 public:
  explicit SystemReverseResolver(asio::io_context& loop) : resolver_(loop) {}
  ~SystemReverseResolver() override {
    *alive_ = false;
    resolver_.cancel();
  }

  bool Start(const std::array<uint8_t, 4>& address, Done done) override {
    const asio::ip::address_v4 ip(address);
    resolver_.async_resolve(asio::ip::tcp::endpoint(ip, 0),
                            [alive = alive_, ip, done = std::move(done)](const asio::error_code& error,
                                                                         asio::ip::tcp::resolver::results_type found) {
                              if (!*alive) return;
                              if (error || found.empty() || found.begin()->host_name() == ip.to_string()) {
                                done(false, {});
                                return;
                              }
                              done(true, found.begin()->host_name());
                            });
    return true;
  }

 private:
  asio::ip::tcp::resolver resolver_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

std::unique_ptr<ReverseResolver> MakeSystemReverseResolver(asio::io_context& loop, const ResolverSettings& settings) {
  if (!settings.dns_servers.empty()) return MakeUdpReverseResolver(loop, settings);
  return std::make_unique<SystemReverseResolver>(loop);
}

}  // namespace quillon

#include <ares.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/poll_wait.h"
#include "platform/posix/cares_channel.h"
#include "platform/host_resolver.h"

namespace quillon::http {
namespace {

struct Lookup {
  bool done = false;
  std::optional<Ipv4Address> address;
};

void OnHost(void* arg, int status, int /*timeouts*/, hostent* host) {
  auto* lookup = static_cast<Lookup*>(arg);
  lookup->done = true;
  if (status != ARES_SUCCESS || host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    return;
  }
  Ipv4Address address;
  std::memcpy(address.data(), host->h_addr_list[0], address.size());
  lookup->address = address;
}

class CaresResolver final : public HostResolver {
 public:
  CaresResolver(std::string dns_servers, std::chrono::milliseconds limit, const WaitInterrupt* interrupt, Env& clock)
      : dns_servers_(std::move(dns_servers)), limit_(limit), interrupt_(interrupt), clock_(clock) {}

  ~CaresResolver() override {
    if (channel_ != nullptr) ares_destroy(channel_);
  }

  std::optional<Ipv4Address> Resolve(std::string_view name) override {
    // A C string would silently cut the name at the NUL and look up another one.
    if (name.find('\0') != std::string_view::npos || !EnsureChannel()) return std::nullopt;

    const std::string host(name);
    Lookup lookup;
    ares_gethostbyname(channel_, host.c_str(), AF_INET, &OnHost, &lookup);
    const MonotonicTime deadline = clock_.NowMonotonic() + limit_;
    // Bounded by the deadline; the count only guards against a clock that stalls.
    for (int round = 0; !lookup.done && round < 100'000; ++round) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock_.NowMonotonic());
      if (left.count() <= 0 || !Wait(left)) break;
    }
    if (!lookup.done) ares_cancel(channel_);  // answers its callback at once
    return lookup.address;
  }

 private:
  bool EnsureChannel() {
    if (channel_ != nullptr) return true;
    if (failed_) return false;

    // Short tries so a second server still gets its turn within the limit.
    const ResolverSettings settings{dns_servers_, 2000, 3};
    failed_ = !OpenCaresChannel(settings, nullptr, nullptr, &channel_);
    return !failed_;
  }

  // One wait on the channel's own sockets, then lets c-ares handle what happened.
  // False when the wait was interrupted: the lookup is to be given up.
  bool Wait(std::chrono::microseconds left) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel_, sockets, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM];
    size_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      short events = 0;
      if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
      if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
      if (events == 0) continue;
      fds[count++] = pollfd{sockets[i], events, 0};
    }

    timeval most{static_cast<time_t>(left.count() / 1'000'000), static_cast<suseconds_t>(left.count() % 1'000'000)};
    timeval next{};
    const timeval* wait = ares_timeout(channel_, &most, &next);
    long long ms = wait == nullptr ? 0 : static_cast<long long>(wait->tv_sec) * 1000 + (wait->tv_usec + 999) / 1000;
    ms = std::clamp<long long>(ms, 1, 1000);

    const WaitResult result = PollUntil(std::span<pollfd>(fds, count), clock_.NowMonotonic() + std::chrono::milliseconds(ms),
                                        interrupt_, clock_);
    if (result == WaitResult::kInterrupted) return false;
    if (result != WaitResult::kReady) {
      ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs and retries
      return true;
    }
    for (size_t i = 0; i < count; ++i) {
      const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      const bool writable = (fds[i].revents & POLLOUT) != 0;
      if (!readable && !writable) continue;
      ares_process_fd(channel_, readable ? fds[i].fd : ARES_SOCKET_BAD, writable ? fds[i].fd : ARES_SOCKET_BAD);
    }
    return true;
  }

  const std::string dns_servers_;
  const std::chrono::milliseconds limit_;
  const WaitInterrupt* const interrupt_;
  Env& clock_;
  bool failed_ = false;
  ares_channel channel_ = nullptr;
};

}  // namespace

std::unique_ptr<HostResolver> MakeSystemHostResolver(std::string dns_servers, std::chrono::milliseconds limit,
                                                     const WaitInterrupt* interrupt, Env& clock) {
  return std::make_unique<CaresResolver>(std::move(dns_servers), limit, interrupt, clock);
}

}  // namespace quillon::http

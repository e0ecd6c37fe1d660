#include <ares.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "host/blocking_wait.h"
#include "host/cares_library.h"
#include "http/resolver.h"

namespace quillon::http {
namespace {

using Clock = std::chrono::steady_clock;

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
  CaresResolver(std::string dns_servers, std::chrono::milliseconds limit, const WaitInterrupt* interrupt)
      : dns_servers_(std::move(dns_servers)), limit_(limit), interrupt_(interrupt) {
    library_ready_ = CaresLibraryReady();
  }

  ~CaresResolver() override {
    if (channel_ != nullptr) ares_destroy(channel_);
  }

  std::optional<Ipv4Address> Resolve(std::string_view name) override {
    // A C string would silently cut the name at the NUL and look up another one.
    if (name.find('\0') != std::string_view::npos || !EnsureChannel()) return std::nullopt;

    const std::string host(name);
    Lookup lookup;
    ares_gethostbyname(channel_, host.c_str(), AF_INET, &OnHost, &lookup);
    const Clock::time_point deadline = Clock::now() + limit_;
    // Bounded by the deadline; the count only guards against a clock that stalls.
    for (int round = 0; !lookup.done && round < 100'000; ++round) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() <= 0 || !Wait(left)) break;
    }
    if (!lookup.done) ares_cancel(channel_);  // answers its callback at once
    return lookup.address;
  }

 private:
  bool EnsureChannel() {
    if (channel_ != nullptr) return true;
    if (!library_ready_ || failed_) return false;

    ares_options options{};
    int mask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    // Short tries so a second server still gets its turn within the limit.
    options.timeout = 2000;
    options.tries = 3;
    char dns_only[] = "b";
    if (!dns_servers_.empty()) {
      // Only the named servers, exactly the name asked for, and no hosts file.
      mask |= ARES_OPT_LOOKUPS | ARES_OPT_FLAGS;
      options.lookups = dns_only;
      options.flags = ARES_FLAG_NOSEARCH;
    }
    if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
      channel_ = nullptr;
      failed_ = true;
      return false;
    }
    if (!dns_servers_.empty() && ares_set_servers_ports_csv(channel_, dns_servers_.c_str()) != ARES_SUCCESS) {
      // Falling back to the system's servers would send the query where the
      // setting says it must not go.
      ares_destroy(channel_);
      channel_ = nullptr;
      failed_ = true;
      return false;
    }
    return true;
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

    const WaitResult result = PollUntil(std::span<pollfd>(fds, count), Clock::now() + std::chrono::milliseconds(ms),
                                        interrupt_);
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
  bool library_ready_ = false;
  bool failed_ = false;
  ares_channel channel_ = nullptr;
};

}  // namespace

std::unique_ptr<HostResolver> MakeCaresResolver(std::string dns_servers, std::chrono::milliseconds limit,
                                                const WaitInterrupt* interrupt) {
  return std::make_unique<CaresResolver>(std::move(dns_servers), limit, interrupt);
}

}  // namespace quillon::http

// Reverse lookups on a c-ares channel driven by the Asio loop: c-ares reports
// the sockets it wants watched, the loop waits on them, and c-ares's own
// retry timer runs as a loop timer.
#include <ares.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <unordered_map>

#include "platform/posix/cares_channel.h"
#include "platform/reverse_resolver.h"

namespace quillon {
namespace {

// Statuses c-ares answers from inside ares_gethostbyaddr when no query went
// out at all: the lookup was refused rather than failed.
bool NeverStarted(int status) {
  switch (status) {
    case ARES_ENOTIMP:
    case ARES_EBADFAMILY:
    case ARES_ENOMEM:
    case ARES_ENOTINITIALIZED:
    case ARES_EBADQUERY:
    case ARES_EBADNAME:
      return true;
  }
  return false;
}

class AresReverseResolver final : public ReverseResolver {
 public:
  explicit AresReverseResolver(asio::io_context& loop) : loop_(loop), timer_(loop) {}

  ~AresReverseResolver() override {
    // Ends every lookup (ARES_EDESTRUCTION, passed over) and closes c-ares's
    // sockets, telling us about each while the watches are still here.
    if (channel_ != nullptr) ares_destroy(channel_);
    alive_.reset();
    for (auto& [fd, watch] : watches_) watch->descriptor.release();
  }

  bool Init(const ResolverSettings& settings) {
    return OpenCaresChannel(settings, &AresReverseResolver::OnSocketState, this, &channel_);
  }

  bool Start(const std::array<uint8_t, 4>& address, Done done) override {
    auto request = std::make_shared<Request>();
    request->done = std::move(done);
    ares_gethostbyaddr(channel_, address.data(), 4, AF_INET, &AresReverseResolver::OnHost,
                       new std::shared_ptr<Request>(request));
    request->starting = false;
    ScheduleTimeout();
    return !request->refused;
  }

 private:
  struct Request {
    Done done;
    bool starting = true;
    bool refused = false;
  };

  // One socket c-ares uses. The descriptor only watches it: c-ares closes it.
  struct Watch {
    explicit Watch(asio::io_context& loop) : descriptor(loop) {}
    asio::posix::stream_descriptor descriptor;
    bool want_read = false, want_write = false;
    bool reading = false, writing = false;
  };

  static void OnHost(void* arg, int status, int /*timeouts*/, hostent* host) {
    const std::unique_ptr<std::shared_ptr<Request>> holder(static_cast<std::shared_ptr<Request>*>(arg));
    Request& request = **holder;
    if (status == ARES_EDESTRUCTION) return;
    if (request.starting && NeverStarted(status)) {
      request.refused = true;
      return;
    }
    const bool found = status == ARES_SUCCESS && host != nullptr && host->h_name != nullptr;
    request.done(found, found ? std::string(host->h_name) : std::string());
  }

  static void OnSocketState(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<AresReverseResolver*>(data);
    if (!readable && !writable) {
      auto it = self->watches_.find(fd);
      if (it != self->watches_.end()) {
        it->second->descriptor.release();
        self->watches_.erase(it);
      }
      return;
    }
    std::shared_ptr<Watch>& watch = self->watches_[fd];
    if (!watch) {
      watch = std::make_shared<Watch>(self->loop_);
      asio::error_code error;
      watch->descriptor.assign(fd, error);
      if (error) {
        self->watches_.erase(fd);
        return;
      }
    }
    watch->want_read = readable != 0;
    watch->want_write = writable != 0;
    self->Arm(fd, watch);
  }

  // The handler of a readiness wait: lets c-ares work on the socket, then
  // waits again while c-ares still wants that direction of this very socket
  // (the number may belong to a new socket by then).
  auto Ready(ares_socket_t fd, const std::shared_ptr<Watch>& watch, bool Watch::*pending, bool Watch::*wanted) {
    return [this, fd, alive = std::weak_ptr<char>(alive_), weak_watch = std::weak_ptr<Watch>(watch), pending,
            wanted](const asio::error_code& error) {
      if (alive.expired()) return;
      std::shared_ptr<Watch> current = weak_watch.lock();
      if (!current) return;
      current.get()->*pending = false;
      if (error) return;
      const bool read = pending == &Watch::reading;
      Process(read ? fd : ARES_SOCKET_BAD, read ? ARES_SOCKET_BAD : fd);
      auto it = watches_.find(fd);
      if (it != watches_.end() && it->second == current && current.get()->*wanted) Arm(fd, current);
    };
  }

  void Arm(ares_socket_t fd, const std::shared_ptr<Watch>& watch) {
    if (watch->want_read && !watch->reading) {
      watch->reading = true;
      watch->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                   Ready(fd, watch, &Watch::reading, &Watch::want_read));
    }
    if (watch->want_write && !watch->writing) {
      watch->writing = true;
      watch->descriptor.async_wait(asio::posix::stream_descriptor::wait_write,
                                   Ready(fd, watch, &Watch::writing, &Watch::want_write));
    }
  }

  void Process(ares_socket_t read_fd, ares_socket_t write_fd) {
    ares_process_fd(channel_, read_fd, write_fd);
    ScheduleTimeout();
  }

  void ScheduleTimeout() {
    timeval wait{};
    if (ares_timeout(channel_, nullptr, &wait) == nullptr) {
      timer_.cancel();
      return;
    }
    timer_.expires_after(std::chrono::seconds(wait.tv_sec) + std::chrono::microseconds(wait.tv_usec));
    timer_.async_wait([this, alive = std::weak_ptr<char>(alive_)](const asio::error_code& error) {
      if (alive.expired() || error) return;
      Process(ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    });
  }

  asio::io_context& loop_;
  ares_channel channel_ = nullptr;
  asio::steady_timer timer_;
  std::unordered_map<ares_socket_t, std::shared_ptr<Watch>> watches_;
  // Handlers still queued in the loop when the resolver ends find this gone.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace

std::unique_ptr<ReverseResolver> MakeSystemReverseResolver(asio::io_context& loop, const ResolverSettings& settings) {
  auto resolver = std::make_unique<AresReverseResolver>(loop);
  if (!resolver->Init(settings)) return nullptr;
  return resolver;
}

}  // namespace quillon

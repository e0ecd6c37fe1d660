#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "platform/posix/poll_wait.h"
#include "platform/read_notifications.h"
#include "platform/socket_layer.h"
#include "platform/posix/winsock_errors.h"

namespace quillon::http {

int WinsockErrorFromErrno(int error) {
  switch (error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    // Writing to a connection the peer has dropped gives EPIPE here; scripts see the
    // reset (10054) that Winsock reports for it.
    case ECONNRESET:
    case EPIPE: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
  }
  return wsa::kSysCallFailure;
}

namespace {

// Waits for `events` on `fd` until `deadline`. 1 = ready, 0 = time is up,
// -1 = failed (the layer's last error set): poll failed, or the wait was
// interrupted (10004, as Winsock reports a cancelled blocking call).
int WaitFor(int fd, short events, MonotonicTime deadline, const WaitInterrupt* interrupt, Env& clock) {
  pollfd entry{fd, events, 0};
  switch (PollUntil(std::span<pollfd>(&entry, 1), deadline, interrupt, clock)) {
    case WaitResult::kReady:
      return 1;
    case WaitResult::kTimedOut:
      return 0;
    case WaitResult::kInterrupted:
      errno = EINTR;
      return -1;
    case WaitResult::kFailed:
      break;
  }
  return -1;
}

class PosixSocketLayer final : public SocketLayer {
 public:
  PosixSocketLayer(asio::io_context& loop, std::chrono::milliseconds connect_limit, const WaitInterrupt* interrupt,
                   Env& clock)
      : loop_(loop), connect_limit_(connect_limit), interrupt_(interrupt), clock_(clock) {}

  ~PosixSocketLayer() override {
    for (auto& [socket, watcher] : watchers_) Stop(*watcher);
    watchers_.clear();
    for (SocketHandle socket : open_) ::close(socket);
  }

  int Startup() override {
    ++started_;
    return 0;
  }
  void Cleanup() override {
    if (started_ > 0) --started_;
  }

  SocketHandle Open() override {
    if (started_ == 0) return Fail(wsa::kNotInitialised);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return FailErrno();
    if (fd == 0) {
      // 0 means "no socket" to the engine; move it out of the way.
      const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
      const int saved = errno;
      ::close(fd);
      if (moved < 0) return Fail(WinsockErrorFromErrno(saved));
      fd = moved;
    }
    open_.insert(fd);
    return fd;
  }

  int Connect(SocketHandle socket, const Ipv4Address& address, uint16_t port) override {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    std::memcpy(&target.sin_addr, address.data(), address.size());
    const MonotonicTime deadline = clock_.NowMonotonic() + connect_limit_;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return FailErrno();

    const int ready = WaitFor(socket, POLLOUT, deadline, interrupt_, clock_);
    if (ready == 0) return Fail(wsa::kTimedOut);
    if (ready < 0) return FailErrno();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return FailErrno();
    if (error != 0) return Fail(WinsockErrorFromErrno(error));
    return 0;
  }

  int Send(SocketHandle socket, std::span<const uint8_t> data) override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const ssize_t sent = ::send(socket, data.data(), data.size(), MSG_NOSIGNAL);
      if (sent >= 0) return static_cast<int>(sent);
      if (errno != EINTR) break;
    }
    return FailErrno();
  }

  bool WaitWritable(SocketHandle socket, std::chrono::milliseconds limit) override {
    const int ready = WaitFor(socket, POLLOUT, clock_.NowMonotonic() + limit, interrupt_, clock_);
    if (ready > 0) return true;
    if (ready == 0) Fail(wsa::kTimedOut);
    else FailErrno();
    return false;
  }

  int Recv(SocketHandle socket, std::span<uint8_t> buffer) override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const ssize_t got = ::recv(socket, buffer.data(), buffer.size(), 0);
      if (got >= 0) {
        if (auto it = watchers_.find(socket); it != watchers_.end()) {
          it->second->filled_buffer = got > 0 && static_cast<size_t>(got) == buffer.size();
        }
        return static_cast<int>(got);
      }
      if (errno != EINTR) break;
    }
    return FailErrno();
  }

  void Close(SocketHandle socket) override {
    Unwatch(socket);
    if (open_.erase(socket) > 0) ::close(socket);
  }

  int Watch(SocketHandle socket, Notify notify) override {
    if (open_.count(socket) == 0) return Fail(wsa::kNotSocket);
    Unwatch(socket);
    auto watcher = std::make_shared<Watcher>(loop_, socket, std::move(notify));
    asio::error_code error;
    watcher->descriptor.assign(socket, error);
    if (error) return Fail(error.value() == 0 ? wsa::kSysCallFailure : WinsockErrorFromErrno(error.value()));
    watchers_[socket] = watcher;
    ArmReadNotifications(watcher, &Watcher::descriptor, asio::posix::descriptor_base::wait_read);
    return 0;
  }

  void Unwatch(SocketHandle socket) override {
    auto it = watchers_.find(socket);
    if (it == watchers_.end()) return;
    Stop(*it->second);
    watchers_.erase(it);
  }

  int LastError() const override { return last_error_; }
  void ClearLastError() override { last_error_ = 0; }

 private:
  struct Watcher {
    Watcher(asio::io_context& loop, SocketHandle s, Notify n) : descriptor(loop), handle(s), notify(std::move(n)) {}
    asio::posix::stream_descriptor descriptor;
    SocketHandle handle;
    Notify notify;
    bool active = true;
    bool filled_buffer = false;  // the last recv took all the room it was given
  };

  // The socket stays open: only the registration with the loop ends. A wait
  // already queued completes as aborted and is dropped.
  static void Stop(Watcher& watcher) {
    watcher.active = false;
    if (watcher.descriptor.is_open()) (void)watcher.descriptor.release();
  }

  int Fail(int winsock_error) {
    last_error_ = winsock_error;
    return -1;
  }
  int FailErrno() { return Fail(WinsockErrorFromErrno(errno)); }

  asio::io_context& loop_;
  const std::chrono::milliseconds connect_limit_;
  const WaitInterrupt* const interrupt_;
  Env& clock_;
  int started_ = 0;
  int last_error_ = 0;
  std::unordered_set<SocketHandle> open_;
  std::unordered_map<SocketHandle, std::shared_ptr<Watcher>> watchers_;
};

}  // namespace

std::unique_ptr<SocketLayer> MakeSystemSocketLayer(asio::io_context& loop, std::chrono::milliseconds connect_limit,
                                                   const WaitInterrupt* interrupt, Env& clock) {
  return std::make_unique<PosixSocketLayer>(loop, connect_limit, interrupt, clock);
}

}  // namespace quillon::http

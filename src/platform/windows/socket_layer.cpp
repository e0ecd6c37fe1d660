// Winsock sockets. Each socket is an Asio socket on the client's loop, so that
// readiness reaches the engine through that loop as on POSIX; the engine's
// calls go to the socket itself, whose errors already are Winsock numbers.
#include "platform/socket_layer.h"

#include <asio.hpp>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "platform/read_notifications.h"
#include "platform/wait_interrupt.h"

namespace quillon::http {
namespace {

// How late a raised interrupt may be seen by a blocking wait.
constexpr std::chrono::milliseconds kSlice(50);

class WindowsSocketLayer final : public SocketLayer {
 public:
  WindowsSocketLayer(asio::io_context& loop, std::chrono::milliseconds connect_limit, const WaitInterrupt* interrupt,
                     Env& clock)
      : loop_(loop), connect_limit_(connect_limit), interrupt_(interrupt), clock_(clock) {}

  ~WindowsSocketLayer() override {
    for (auto& [handle, entry] : sockets_) entry->active = false;
    sockets_.clear();
    while (started_ > 0) Cleanup();
  }

  int Startup() override {
    WSADATA data{};
    if (const int failed = ::WSAStartup(MAKEWORD(1, 1), &data); failed != 0) return failed;
    ++started_;
    return 0;
  }
  void Cleanup() override {
    if (started_ == 0) return;
    --started_;
    ::WSACleanup();
  }

  SocketHandle Open() override {
    if (started_ == 0) return Fail(wsa::kNotInitialised);
    auto entry = std::make_shared<Entry>(loop_);
    asio::error_code error;
    entry->socket.open(asio::ip::tcp::v4(), error);
    if (!error) entry->socket.non_blocking(true, error);
    if (error) return Fail(error.value() != 0 ? error.value() : wsa::kSysCallFailure);
    const SocketHandle handle = next_handle_++;
    entry->handle = handle;
    sockets_[handle] = std::move(entry);
    return handle;
  }

  int Connect(SocketHandle socket, const Ipv4Address& address, uint16_t port) override {
    Entry* entry = Find(socket);
    if (entry == nullptr) return Fail(wsa::kNotSocket);
    const SOCKET native = entry->socket.native_handle();
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    std::memcpy(&target.sin_addr, address.data(), address.size());
    const MonotonicTime deadline = clock_.NowMonotonic() + connect_limit_;
    if (::connect(native, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return 0;
    const int failure = ::WSAGetLastError();
    if (failure != WSAEWOULDBLOCK) return Fail(failure);
    if (!WaitFor(native, POLLWRNORM, deadline)) return -1;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(native, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
      return Fail(::WSAGetLastError());
    }
    return error == 0 ? 0 : Fail(error);
  }

  int Send(SocketHandle socket, std::span<const uint8_t> data) override {
    Entry* entry = Find(socket);
    if (entry == nullptr) return Fail(wsa::kNotSocket);
    const int length = static_cast<int>(std::min<size_t>(data.size(), 1 << 30));
    const int sent = ::send(entry->socket.native_handle(), reinterpret_cast<const char*>(data.data()), length, 0);
    return sent == SOCKET_ERROR ? Fail(::WSAGetLastError()) : sent;
  }

  bool WaitWritable(SocketHandle socket, std::chrono::milliseconds limit) override {
    Entry* entry = Find(socket);
    if (entry == nullptr) return Fail(wsa::kNotSocket), false;
    return WaitFor(entry->socket.native_handle(), POLLWRNORM, clock_.NowMonotonic() + limit);
  }

  int Recv(SocketHandle socket, std::span<uint8_t> buffer) override {
    Entry* entry = Find(socket);
    if (entry == nullptr) return Fail(wsa::kNotSocket);
    const int length = static_cast<int>(std::min<size_t>(buffer.size(), 1 << 30));
    const int got = ::recv(entry->socket.native_handle(), reinterpret_cast<char*>(buffer.data()), length, 0);
    if (got == SOCKET_ERROR) return Fail(::WSAGetLastError());
    entry->filled_buffer = got > 0 && got == length;
    return got;
  }

  void Close(SocketHandle socket) override {
    auto it = sockets_.find(socket);
    if (it == sockets_.end()) return;
    it->second->active = false;
    sockets_.erase(it);  // the socket closes; a wait still queued completes as aborted
  }

  int Watch(SocketHandle socket, Notify notify) override {
    auto it = sockets_.find(socket);
    if (it == sockets_.end()) return Fail(wsa::kNotSocket);
    Unwatch(socket);
    it->second->notify = std::move(notify);
    it->second->active = true;
    ArmReadNotifications(it->second, &Entry::socket, asio::ip::tcp::socket::wait_read);
    return 0;
  }

  void Unwatch(SocketHandle socket) override {
    Entry* entry = Find(socket);
    if (entry == nullptr || !entry->active) return;
    entry->active = false;
    asio::error_code ignored;
    entry->socket.cancel(ignored);
  }

  int LastError() const override { return last_error_; }
  void ClearLastError() override { last_error_ = 0; }

 private:
  struct Entry {
    explicit Entry(asio::io_context& loop) : socket(loop) {}
    asio::ip::tcp::socket socket;
    SocketHandle handle = 0;
    Notify notify;
    bool active = false;
    bool filled_buffer = false;  // the last recv took all the room it was given
  };

  Entry* Find(SocketHandle socket) {
    auto it = sockets_.find(socket);
    return it == sockets_.end() ? nullptr : it->second.get();
  }

  // The one blocking wait of this layer: until `events` on `native`, the
  // deadline on the clock, or the interrupt (10004, as Winsock reports a
  // cancelled blocking call). False with the last error set unless ready.
  bool WaitFor(SOCKET native, short events, MonotonicTime deadline) {
    for (;;) {
      if (interrupt_ != nullptr && interrupt_->raised()) return Fail(wsa::kInterrupted), false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_.NowMonotonic());
      if (left.count() <= 0) return Fail(wsa::kTimedOut), false;
      WSAPOLLFD entry{native, events, 0};
      const int ready = ::WSAPoll(&entry, 1, static_cast<int>(std::min(left, kSlice).count()));
      if (ready == SOCKET_ERROR) return Fail(::WSAGetLastError()), false;
      if (ready > 0) return true;  // errors show as ready too; the next call reports them
    }
  }

  int Fail(int winsock_error) {
    last_error_ = winsock_error;
    return -1;
  }

  asio::io_context& loop_;
  const std::chrono::milliseconds connect_limit_;
  const WaitInterrupt* const interrupt_;
  Env& clock_;
  int started_ = 0;
  int last_error_ = 0;
  SocketHandle next_handle_ = 1;
  std::unordered_map<SocketHandle, std::shared_ptr<Entry>> sockets_;
};

}  // namespace

std::unique_ptr<SocketLayer> MakeSystemSocketLayer(asio::io_context& loop, std::chrono::milliseconds connect_limit,
                                                   const WaitInterrupt* interrupt, Env& clock) {
  return std::make_unique<WindowsSocketLayer>(loop, connect_limit, interrupt, clock);
}

}  // namespace quillon::http

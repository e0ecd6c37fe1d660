// The socket calls the HTTP engine makes, behind an interface so tests can stand
// in for the network. Errors come back as Winsock numbers, whatever the platform,
// because scripts compare them with the numbers they know.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "core/env.h"

namespace asio {
class io_context;
}

namespace quillon {
class WaitInterrupt;
}

namespace quillon::http {

// A socket as the engine holds it: greater than 0 is a socket, 0 or -1 none.
using SocketHandle = int32_t;

// An IPv4 address in network order, as a name lookup gives it.
using Ipv4Address = std::array<uint8_t, 4>;

// Notification codes, as the engine decodes them.
inline constexpr int kNotifyRead = 1;
inline constexpr int kNotifyClose = 32;

// Winsock error numbers the engine itself looks at or produces.
namespace wsa {
inline constexpr int kInterrupted = 10004;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kNotSocket = 10038;
inline constexpr int kNoBufferSpace = 10055;
inline constexpr int kTimedOut = 10060;
inline constexpr int kNotInitialised = 10093;
inline constexpr int kSysCallFailure = 10107;
}  // namespace wsa

class SocketLayer {
 public:
  using Notify = std::function<void(SocketHandle socket, int code)>;

  virtual ~SocketLayer() = default;

  // Start-up is counted: sockets can be created while the count is above 0.
  // Returns 0 or a Winsock error number.
  virtual int Startup() = 0;
  virtual void Cleanup() = 0;

  // A new IPv4 stream socket, or -1 (with the last error set).
  virtual SocketHandle Open() = 0;
  // Connects, blocking until it is done or the layer's time limit has passed.
  // 0 = connected, -1 = failed (last error set).
  virtual int Connect(SocketHandle socket, const Ipv4Address& address, uint16_t port) = 0;
  // One send: the number of bytes taken (possibly fewer than offered) or -1.
  virtual int Send(SocketHandle socket, std::span<const uint8_t> data) = 0;
  // Waits until a send can take bytes; false (last error set) when it cannot.
  virtual bool WaitWritable(SocketHandle socket, std::chrono::milliseconds limit) = 0;
  // One receive: bytes read, 0 when the peer has closed, -1 on failure.
  virtual int Recv(SocketHandle socket, std::span<uint8_t> buffer) = 0;
  virtual void Close(SocketHandle socket) = 0;

  // Asks for notifications on the event loop: kNotifyRead while data is waiting
  // (repeated as long as some remains), kNotifyClose when the peer has closed.
  // 0 = registered, -1 = failed (last error set). The callback never runs once
  // Unwatch or Close has been called for the socket.
  virtual int Watch(SocketHandle socket, Notify notify) = 0;
  virtual void Unwatch(SocketHandle socket) = 0;

  virtual int LastError() const = 0;
  virtual void ClearLastError() = 0;
};

// The platform's sockets, with notifications through the given event loop.
// Connect gives up with 10060 after `connect_limit` on `clock`; Connect and
// WaitWritable give up at once with 10004 when `interrupt` (may be null) is raised.
std::unique_ptr<SocketLayer> MakeSystemSocketLayer(asio::io_context& loop,
                                                   std::chrono::milliseconds connect_limit = std::chrono::seconds(21),
                                                   const WaitInterrupt* interrupt = nullptr, Env& clock = DefaultEnv());

}  // namespace quillon::http

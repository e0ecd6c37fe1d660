// The in-process stand-in for a client connection: one event loop, one Host and
// one ClientScope, so the command line drives the classes exactly as a script
// connected to the server would, without a server.
#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/dispatch.h"
#include "core/host.h"
#include "core/registry.h"
#include "product/quillon_product.h"

namespace quillon::cli {

// Exit statuses of every verb.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the job itself failed
inline constexpr int kExitUsage = 2;   // the command line was wrong

// A failure the verb reports and ends with: what went wrong, then (optionally)
// what to do about it.
class Failure : public std::runtime_error {
 public:
  explicit Failure(std::string what, std::string hint = {}, int status = kExitFailed)
      : std::runtime_error(std::move(what)), hint_(std::move(hint)), status_(status) {}
  const std::string& hint() const { return hint_; }
  int status() const { return status_; }

 private:
  std::string hint_;
  int status_;
};

// Receives an object's events and hands each to the handler registered for its
// name; events nobody registered for are accepted and dropped, as a script's
// sink without that method would.
class EventSink final : public Dispatch {
 public:
  using Handler = std::function<void(std::span<Variant> args)>;

  // A new sink, already connected to `source`'s events.
  static std::shared_ptr<EventSink> Connect(Dispatch& source);

  explicit EventSink(const InterfaceInfo& events);
  void On(std::string_view event, Handler handler);

  const ClassInfo& Class() const override { return class_; }
  HResult Invoke(DispId dispid, uint16_t flags, std::span<Variant> args, Variant* result,
                 ExceptionInfo* exception) override;

 private:
  ClassInfo class_;
  std::unordered_map<DispId, Handler> handlers_;
};

class Session {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Wait { kDone, kDeadline, kIdle };

  // Reaches the network as the server would: QUILLON_DNS_SERVERS and
  // QUILLON_NETWORK_STATE from the environment.
  Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Creates an object by ProgID; a Failure when the class is unknown.
  std::shared_ptr<Dispatch> Create(std::u16string_view progid);

  // Runs the loop until `done()`; kDeadline when the deadline came first, kIdle
  // when nothing is left that could ever make `done()` true.
  Wait RunUntil(const std::function<bool()>& done, std::optional<Clock::time_point> deadline = {});

  asio::io_context& loop() { return loop_; }
  Host& host() { return host_; }

 private:
  asio::io_context loop_{1};
  QuillonHost host_;
  ClientScope scope_{loop_};
};

// Text at the edges: the classes speak UTF-16, the shell UTF-8.
Variant Text(std::string_view utf8);
std::string Utf8(const Variant& value);
// A member's result read as a 32-bit status (0: success).
int32_t StatusOf(const Variant& value);
// What a failed dispatch call says, for a message.
std::string DescribeDispatchError(const DispatchError& error);

}  // namespace quillon::cli

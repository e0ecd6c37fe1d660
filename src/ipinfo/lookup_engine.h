// The lookup engine: turns IPv4 address text into a host name without blocking
// the loop, and reports every request that is not superseded exactly once,
// with a result code, to everyone subscribed. The IPInfo objects of one client
// connection share one engine.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/subscriber_list.h"
#include "platform/reverse_resolver.h"

namespace quillon {

// Result codes of a host-name request.
namespace host_name {
inline constexpr int32_t kFound = 0;
inline constexpr int32_t kNotStarted = 1;     // StartUp has not succeeded
inline constexpr int32_t kInvalidAddress = 2;
inline constexpr int32_t kRefused = 3;        // the lookup could not be started
inline constexpr int32_t kFailed = 4;         // the lookup ended with an error
inline constexpr int32_t kTimedOut = 5;
}  // namespace host_name

struct HostNameResult {
  std::u16string ip;    // the request's address text as the caller gave it
  std::u16string host;  // "" unless code is kFound
  int32_t code = 0;
};

// A host name from a host entry's name: the bytes up to the first NUL, at most
// 255 of them, read in the ANSI code page.
std::u16string HostNameFromEntry(std::string_view name);

class LookupEngine : public std::enable_shared_from_this<LookupEngine> {
 public:
  static constexpr int32_t kDefaultTimeOutMs = 5000;

  using ResolverFactory = std::function<std::unique_ptr<ReverseResolver>()>;
  using Listener = std::function<void(const HostNameResult&)>;

  // Make it with std::make_shared: completions find the engine through it.
  LookupEngine(asio::io_context& loop, ResolverFactory make_resolver);
  ~LookupEngine();
  LookupEngine(const LookupEngine&) = delete;
  LookupEngine& operator=(const LookupEngine&) = delete;

  // Every result goes to every listener whose owner is still alive, in the
  // order they subscribed; the owner is kept alive while its listener runs.
  uint64_t Subscribe(std::weak_ptr<void> owner, Listener listener);
  void Unsubscribe(uint64_t id);

  // Milliseconds a request may take: 0 never times out; a negative value is
  // refused and the time-out stays as it was. Changing it while a request is
  // pending starts that request's countdown afresh.
  void SetTimeOut(int32_t milliseconds);
  int32_t time_out() const { return time_out_ms_; }

  // Starts network use: returns 0 and clears the text. It cannot fail here,
  // since the resolver needs no start-up; a resolver that cannot be set up
  // shows as code 3 on every request instead.
  int32_t StartUp(std::u16string* error_text);
  // Ends network use: lookups give code 1 until StartUp runs again. A pending
  // request is left pending, its time-out stopped.
  void CloseDown();
  bool started() const { return started_; }

  // Starts a lookup, superseding any pending one. Codes 1 to 3 are reported
  // before this returns; 0, 4 and 5 later, from the loop, never from in here.
  void GetHostName(std::u16string_view ip);

  // The handle of the pending request; 0 when none.
  int32_t request_handle() const { return request_handle_; }

  // A finished lookup. Ignored unless `handle` is the pending request's.
  void Complete(int32_t handle, bool found, std::string_view name);

 private:
  void Report(HostNameResult result);
  void EnableTimer();
  void DisableTimer();
  void ArmTimer();
  void OnTimer();

  asio::io_context& loop_;
  ResolverFactory make_resolver_;
  std::unique_ptr<ReverseResolver> resolver_;
  bool started_ = false;

  int32_t request_handle_ = 0;
  int32_t last_handle_ = 0;
  std::u16string current_ip_;

  asio::steady_timer timer_;
  int32_t time_out_ms_ = kDefaultTimeOutMs;
  bool timer_enabled_ = false;
  uint64_t timer_generation_ = 0;  // a tick of an earlier countdown is stale

  struct Subscription {
    std::weak_ptr<void> owner;
    Listener listener;
  };
  SubscriberList<Subscription> subscriptions_;
};

}  // namespace quillon

#include "ipinfo/lookup_engine.h"

#include <asio/post.hpp>
#include <algorithm>
#include <chrono>
#include <limits>

#include "core/text.h"
#include "core/ipv4_text.h"

namespace quillon {

std::u16string HostNameFromEntry(std::string_view name) {
  constexpr size_t kLongestName = 255;
  name = name.substr(0, std::min(name.find('\0'), kLongestName));
  return AnsiToText(name);
}

LookupEngine::LookupEngine(asio::io_context& loop, ResolverFactory make_resolver)
    : loop_(loop), make_resolver_(std::move(make_resolver)), timer_(loop) {}

LookupEngine::~LookupEngine() { CloseDown(); }

uint64_t LookupEngine::Subscribe(std::weak_ptr<void> owner, Listener listener) {
  subscriptions_.RemoveIf([](const Subscription& s) { return s.owner.expired(); });
  const uint64_t id = subscriptions_.Add({std::move(owner), std::move(listener)});
  return id;
}

void LookupEngine::Unsubscribe(uint64_t id) {
  subscriptions_.Remove(id);
}

void LookupEngine::SetTimeOut(int32_t milliseconds) {
  if (milliseconds < 0) return;
  time_out_ms_ = milliseconds;
  if (timer_enabled_) ArmTimer();
}

int32_t LookupEngine::StartUp(std::u16string* error_text) {
  // A resolver that is already there keeps its lookups; one that could not be
  // set up is tried again.
  if (!resolver_) resolver_ = make_resolver_();
  started_ = true;
  error_text->clear();
  return 0;
}

void LookupEngine::CloseDown() {
  if (started_) {
    resolver_.reset();
    started_ = false;
  }
  DisableTimer();
}

void LookupEngine::GetHostName(std::u16string_view ip) {
  current_ip_ = std::u16string(ip);
  if (!started_) {
    request_handle_ = 0;
    Report({current_ip_, u"", host_name::kNotStarted});
    return;
  }
  const std::optional<uint32_t> number = ParseIPv4Text(ip);
  if (!number) {
    request_handle_ = 0;
    Report({current_ip_, u"", host_name::kInvalidAddress});
    return;
  }

  // The handle is taken and the countdown started before the resolver runs:
  // it may answer from inside Start (the hosts file), and that answer has to
  // find this request pending when it arrives.
  last_handle_ = last_handle_ == std::numeric_limits<int32_t>::max() ? 1 : last_handle_ + 1;
  const int32_t handle = last_handle_;
  request_handle_ = handle;
  EnableTimer();

  const std::array<uint8_t, 4> address = {static_cast<uint8_t>(*number >> 24), static_cast<uint8_t>(*number >> 16),
                                          static_cast<uint8_t>(*number >> 8), static_cast<uint8_t>(*number)};
  // Completions always come back through the loop, so no result is reported
  // from inside the call that asked for it, and a result for an engine that
  // has ended goes nowhere.
  auto done = [engine = weak_from_this(), &loop = loop_, handle](bool found, std::string name) {
    asio::post(loop, [engine, handle, found, name = std::move(name)] {
      if (std::shared_ptr<LookupEngine> self = engine.lock()) self->Complete(handle, found, name);
    });
  };
  if (resolver_ && resolver_->Start(address, std::move(done))) return;

  request_handle_ = 0;
  DisableTimer();
  Report({current_ip_, u"", host_name::kRefused});
}

void LookupEngine::Complete(int32_t handle, bool found, std::string_view name) {
  if (handle == 0 || handle != request_handle_) return;
  HostNameResult result{current_ip_, found ? HostNameFromEntry(name) : u"",
                        found ? host_name::kFound : host_name::kFailed};
  // The request is over before anyone hears of it, so a handler may start the
  // next lookup and have it reported in turn.
  request_handle_ = 0;
  DisableTimer();
  Report(std::move(result));
}

void LookupEngine::Report(HostNameResult result) {
  // Listeners may start lookups, subscribe or unsubscribe, or drop the last
  // reference to this engine while they run.
  const std::shared_ptr<LookupEngine> keep_alive = weak_from_this().lock();
  subscriptions_.DeliverToEach([&](const Subscription& subscription) {
    if (const std::shared_ptr<void> owner = subscription.owner.lock()) subscription.listener(result);
  });
}

void LookupEngine::EnableTimer() {
  timer_enabled_ = true;
  ArmTimer();
}

void LookupEngine::DisableTimer() {
  timer_enabled_ = false;
  ++timer_generation_;
  timer_.cancel();
}

void LookupEngine::ArmTimer() {
  const uint64_t generation = ++timer_generation_;
  timer_.cancel();
  if (!timer_enabled_ || time_out_ms_ == 0) return;
  timer_.expires_after(std::chrono::milliseconds(time_out_ms_));
  timer_.async_wait([engine = weak_from_this(), generation](const asio::error_code& error) {
    if (error) return;
    std::shared_ptr<LookupEngine> self = engine.lock();
    if (self && self->timer_generation_ == generation) self->OnTimer();
  });
}

void LookupEngine::OnTimer() {
  // The lookup itself is not cancelled; its completion, if it ever comes,
  // no longer matches the pending handle.
  const int32_t handle = request_handle_;
  request_handle_ = 0;
  DisableTimer();
  if (handle != 0) Report({current_ip_, u"", host_name::kTimedOut});
}

}  // namespace quillon

// How a socket layer tells the engine that a watched socket has data: one
// kNotifyRead per readiness, asked for again after each, so the notification
// repeats while data remains, as the engine expects. A read that filled its
// whole buffer almost surely left more behind, so then the next notification
// is queued on the loop at once: asking the kernel again costs two calls per
// block (re-arming the edge-triggered wait, then waiting), most of the time a
// large download spends. Other work on the loop still gets its turn in
// between, and a notification that finds nothing is harmless: the engine
// reads, meets "would block" and waits for the next one.
#pragma once

#include <memory>

#include <asio/post.hpp>

#include "platform/socket_layer.h"

namespace quillon::http {

// `Watch` is the layer's record of one watched socket, with the members
// `handle` (the engine's SocketHandle), `notify`, `active` (false once
// unwatched) and `filled_buffer` (the last read took all the room it was
// given); `waitable` is its member an Asio wait runs on (a socket or a
// descriptor of the platform's), and `wait_read` that object's wait for
// readable data.
template <typename Watch, typename Waitable>
void ArmReadNotifications(const std::shared_ptr<Watch>& watch, Waitable Watch::*waitable,
                          typename Waitable::wait_type wait_read) {
  std::weak_ptr<Watch> weak = watch;
  auto deliver = [weak, waitable, wait_read](const asio::error_code& error) {
    if (error) return;
    std::shared_ptr<Watch> self = weak.lock();
    if (!self || !self->active) return;
    self->filled_buffer = false;
    SocketLayer::Notify notify = self->notify;  // the callback may unwatch and so drop the original
    notify(self->handle, kNotifyRead);
    if (self->active) ArmReadNotifications(self, waitable, wait_read);
  };
  if (watch->filled_buffer) {
    asio::post(((*watch).*waitable).get_executor(), [deliver] { deliver({}); });
  } else {
    ((*watch).*waitable).async_wait(wait_read, deliver);
  }
}

}  // namespace quillon::http

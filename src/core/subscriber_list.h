// Whoever wants to hear of something, in the order they subscribed: the sinks
// of a connection point, the listeners of an engine. Delivery walks a snapshot,
// so a subscriber may subscribe or unsubscribe anyone, itself included, while
// it runs; one that is gone by its turn is skipped, one added meanwhile waits
// for the next delivery.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillon {

template <typename Subscriber, typename Id = uint64_t>
class SubscriberList {
 public:
  // Its id, never 0 and never given twice.
  Id Add(Subscriber subscriber) {
    const Id id = next_id_++;
    entries_.push_back({id, std::move(subscriber)});
    return id;
  }
  // False when no subscriber has that id.
  bool Remove(Id id) {
    return std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; }) != 0;
  }
  template <typename Predicate>
  void RemoveIf(Predicate gone) {
    std::erase_if(entries_, [&](const Entry& entry) { return gone(entry.subscriber); });
  }
  void Clear() { entries_.clear(); }
  size_t size() const { return entries_.size(); }

  // Calls deliver(subscriber) for each subscriber there when it began and
  // still there at its turn.
  template <typename Deliver>
  void DeliverToEach(Deliver deliver) const {
    const std::vector<Entry> snapshot = entries_;
    for (const Entry& entry : snapshot) {
      if (!Contains(entry.id)) continue;
      deliver(entry.subscriber);
    }
  }

 private:
  struct Entry {
    Id id;
    Subscriber subscriber;
  };

  bool Contains(Id id) const {
    return std::any_of(entries_.begin(), entries_.end(), [id](const Entry& entry) { return entry.id == id; });
  }

  std::vector<Entry> entries_;
  Id next_id_ = 1;
};

}  // namespace quillon

// The class registry: ProgID -> factory for the classes clients may create.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "core/client_settings.h"
#include "core/dispatch.h"

namespace asio {
class io_context;
}

namespace quillon {

class Host;
class WaitInterrupt;

// The per-client context a factory creates into. Each client connection has its
// own, so two clients never see each other's downloads, events or lookups; the
// engines that the objects of one client share hang off it.
class ClientScope {
 public:
  explicit ClientScope(asio::io_context& loop, const WaitInterrupt* interrupt = nullptr)
      : loop_(loop), interrupt_(interrupt) {}
  virtual ~ClientScope() = default;
  ClientScope(const ClientScope&) = delete;
  ClientScope& operator=(const ClientScope&) = delete;

  // The event loop that runs this client's calls, sockets and timers.
  asio::io_context& loop() { return loop_; }
  // Raised when the client's blocking waits are to end at once (may be null).
  const WaitInterrupt* interrupt() const { return interrupt_; }

  // What the client sent at its start; before its first object is made.
  void Adopt(ClientSettings settings) { settings_ = std::move(settings); }
  // How this client reaches the network: what it sent, else the process's.
  const NetworkSettings& network(const NetworkSettings& process) const {
    return settings_.network ? *settings_.network : process;
  }
  // Where this client's relative paths start; empty: the process's working folder.
  const std::string& working_folder() const { return settings_.working_folder; }

  // The client's one engine of a kind, made on first use. The scope only
  // remembers it: the objects that use it own it, so it ends with the last of them.
  template <typename Engine, typename Make>
  std::shared_ptr<Engine> SharedEngine(Make&& make) {
    std::weak_ptr<void>& slot = engines_[std::type_index(typeid(Engine))];
    if (auto existing = slot.lock()) return std::static_pointer_cast<Engine>(existing);
    std::shared_ptr<Engine> engine = make();
    slot = engine;
    return engine;
  }

 private:
  asio::io_context& loop_;
  const WaitInterrupt* const interrupt_;
  ClientSettings settings_;
  std::unordered_map<std::type_index, std::weak_ptr<void>> engines_;
};

class ClassRegistry {
 public:
  using Factory = std::function<std::shared_ptr<Dispatch>(Host&, ClientScope&)>;

  // Registers a creatable class of the type library under its ProgID.
  void Register(const ClassInfo& info, Factory factory);

  // Creates an object by ProgID (case-insensitive). CO_E_CLASSSTRING for a name
  // that is not registered, including classes clients cannot create.
  HResult Create(std::u16string_view progid, Host& host, ClientScope& scope,
                 std::shared_ptr<Dispatch>* object) const;

  std::vector<const ClassInfo*> classes() const;

 private:
  struct Entry {
    const ClassInfo* info;
    Factory factory;
  };
  std::vector<Entry> entries_;
};

}  // namespace quillon

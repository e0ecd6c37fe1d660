#include "platform/network_state.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

namespace quillon::http {
namespace {

bool AnyInterfaceUp() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool online = false;
  for (const ifaddrs* entry = list; entry != nullptr && !online; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;  // link-layer entries carry no address
    const unsigned flags = entry->ifa_flags;
    online = (flags & IFF_LOOPBACK) == 0 && (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
  }
  ::freeifaddrs(list);
  return online;
}

class PosixNetworkState final : public NetworkState {
 public:
  explicit PosixNetworkState(const NetworkSettings& settings) : proxy_configured_(!settings.proxy.empty()) {}

  bool IsOnline() override { return AnyInterfaceUp(); }
  bool IsConnectionProxy() override { return proxy_configured_; }

 private:
  const bool proxy_configured_;
};

}  // namespace

std::unique_ptr<NetworkState> MakeMachineNetworkState(const NetworkSettings& settings) {
  return std::make_unique<PosixNetworkState>(settings);
}

}  // namespace quillon::http

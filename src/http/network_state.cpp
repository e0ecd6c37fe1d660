#include "http/network_state.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdlib>

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

bool ProxyConfigured() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}

class SystemNetworkState final : public NetworkState {
 public:
  explicit SystemNetworkState(std::string override_state) : override_(std::move(override_state)) {}

  bool IsOnline() override {
    if (override_ == "online" || override_ == "proxy") return true;
    if (override_ == "offline") return false;
    return AnyInterfaceUp();
  }

  bool IsConnectionProxy() override {
    if (override_ == "proxy") return true;
    if (override_ == "online" || override_ == "offline") return false;
    return ProxyConfigured();
  }

 private:
  const std::string override_;
};

}  // namespace

std::unique_ptr<NetworkState> MakeSystemNetworkState(std::string override_state) {
  return std::make_unique<SystemNetworkState>(std::move(override_state));
}

}  // namespace quillon::http

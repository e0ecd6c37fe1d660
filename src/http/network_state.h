// Whether the machine is online and whether its Internet connection goes through
// a proxy: the engine refuses to connect in either bad case, since it speaks to
// servers directly.
#pragma once

#include <memory>
#include <string>

namespace quillon::http {

class NetworkState {
 public:
  virtual ~NetworkState() = default;
  virtual bool IsOnline() = 0;
  virtual bool IsConnectionProxy() = 0;
};

// Online: an interface other than loopback is up and running and has an address.
// Proxy: the process environment names one (http_proxy, HTTPS_PROXY, all_proxy and
// their other spellings). `override_state` "online", "offline" or "proxy" replaces
// both answers; "" or "auto" (or anything else) keeps the rules. Nothing is cached:
// each question looks again.
std::unique_ptr<NetworkState> MakeSystemNetworkState(std::string override_state);

}  // namespace quillon::http

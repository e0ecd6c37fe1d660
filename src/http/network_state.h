// Whether the machine is online and whether its Internet connection goes through
// a proxy: the engine refuses to connect in either bad case, since it speaks to
// servers directly.
#pragma once

#include <memory>
#include <string>

#include "host/client_settings.h"

namespace quillon::http {

class NetworkState {
 public:
  virtual ~NetworkState() = default;
  virtual bool IsOnline() = 0;
  virtual bool IsConnectionProxy() = 0;
};

// Online: an interface other than loopback is up and running and has an address
// (looked at again for each question). Proxy: the settings name one.
// `network_state` "online", "offline" or "proxy" replaces both answers; "" or
// "auto" (or anything else) keeps the rules.
std::unique_ptr<NetworkState> MakeSystemNetworkState(const NetworkSettings& settings);

}  // namespace quillon::http

// Whether the machine is online and whether its Internet connection goes through
// a proxy: the engine refuses to connect in either bad case, since it speaks to
// servers directly.
#pragma once

#include <memory>
#include <string>

#include "core/client_settings.h"

namespace quillon::http {

class NetworkState {
 public:
  virtual ~NetworkState() = default;
  virtual bool IsOnline() = 0;
  virtual bool IsConnectionProxy() = 0;
};

// What the machine says, asked again for each question; each platform has its
// own. POSIX: online when an interface other than loopback is up and running
// and has an address; a proxy when the settings name one.
std::unique_ptr<NetworkState> MakeMachineNetworkState(const NetworkSettings& settings);

// The machine's answers, unless the settings' `network_state` "online",
// "offline" or "proxy" replaces both; "" or "auto" (or anything else) keeps them.
std::unique_ptr<NetworkState> MakeSystemNetworkState(const NetworkSettings& settings);

}  // namespace quillon::http

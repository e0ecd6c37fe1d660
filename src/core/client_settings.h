// How a client reaches the network and where its relative paths start. The
// process has its own (read from its environment at start); a client of the
// server may send its own instead, so two scripts with different settings can
// share one server without either changing the process.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quillon {

struct NetworkSettings {
  // DNS servers to ask, "ADDR:PORT[,ADDR:PORT...]"; when set, only those are asked
  // and the hosts file is not read. Empty: the system's configuration.
  std::string dns_servers;
  // "online", "offline" or "proxy" overrides what the machine says; "" or "auto"
  // (or anything else) does not.
  std::string network_state;
  // The proxy the environment names (the first set of kProxyVariables); empty: none.
  std::string proxy;
};

// The environment variables the settings come from.
inline constexpr const char* kDnsServersVariable = "QUILLON_DNS_SERVERS";
inline constexpr const char* kNetworkStateVariable = "QUILLON_NETWORK_STATE";
inline constexpr const char* kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy",
                                                  "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};

// Reads the settings from variables looked up by name (std::nullopt: not set).
NetworkSettings NetworkSettingsFrom(const std::function<std::optional<std::string>(const char* name)>& lookup);

// The process's own settings, from its environment.
NetworkSettings NetworkSettingsFromEnvironment();

// What a client sends at its start.
struct ClientSettings {
  // Replaces the process's network settings for this client; none: the process's.
  std::optional<NetworkSettings> network;
  // An absolute folder where this client's relative paths start; empty: the
  // process's own working folder.
  std::string working_folder;
};

}  // namespace quillon

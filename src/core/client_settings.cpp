#include "core/client_settings.h"

#include <cstdlib>

namespace quillon {

NetworkSettings NetworkSettingsFrom(const std::function<std::optional<std::string>(const char* name)>& lookup) {
  NetworkSettings settings;
  settings.dns_servers = lookup(kDnsServersVariable).value_or("");
  settings.network_state = lookup(kNetworkStateVariable).value_or("");
  for (const char* name : kProxyVariables) {
    std::optional<std::string> value = lookup(name);
    if (value && !value->empty()) {
      settings.proxy = std::move(*value);
      break;
    }
  }
  return settings;
}

NetworkSettings NetworkSettingsFromEnvironment() {
  return NetworkSettingsFrom([](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

}  // namespace quillon

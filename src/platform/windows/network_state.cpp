#include "platform/network_state.h"

#include <windows.h>
#include <wininet.h>

namespace quillon::http {
namespace {

// The system's own answer: connected at all, and whether through a proxy. A
// proxy the settings name counts too, as on POSIX.
class WindowsNetworkState final : public NetworkState {
 public:
  explicit WindowsNetworkState(const NetworkSettings& settings) : proxy_configured_(!settings.proxy.empty()) {}

  bool IsOnline() override {
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE;
  }
  bool IsConnectionProxy() override {
    if (proxy_configured_) return true;
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE && (flags & INTERNET_CONNECTION_PROXY) != 0;
  }

 private:
  const bool proxy_configured_;
};

}  // namespace

std::unique_ptr<NetworkState> MakeMachineNetworkState(const NetworkSettings& settings) {
  return std::make_unique<WindowsNetworkState>(settings);
}

}  // namespace quillon::http

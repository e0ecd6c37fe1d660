#include "platform/network_state.h"

#include <windows.h>
#include <wininet.h>

namespace quillon::http {
namespace {

// The system's own answer: connected at all, and whether through a proxy.
class WindowsNetworkState final : public NetworkState {
 public:
  bool IsOnline() override {
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE;
  }
  bool IsConnectionProxy() override {
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE && (flags & INTERNET_CONNECTION_PROXY) != 0;
  }
};

}  // namespace

std::unique_ptr<NetworkState> MakeMachineNetworkState(const NetworkSettings&) {
  return std::make_unique<WindowsNetworkState>();
}

}  // namespace quillon::http

#include "platform/network_state.h"

namespace quillon::http {
namespace {

class OverriddenNetworkState final : public NetworkState {
 public:
  OverriddenNetworkState(std::string override, std::unique_ptr<NetworkState> machine)
      : override_(std::move(override)), machine_(std::move(machine)) {}

  bool IsOnline() override {
    if (override_ == "online" || override_ == "proxy") return true;
    if (override_ == "offline") return false;
    return machine_->IsOnline();
  }

  bool IsConnectionProxy() override {
    if (override_ == "proxy") return true;
    if (override_ == "online" || override_ == "offline") return false;
    return machine_->IsConnectionProxy();
  }

 private:
  const std::string override_;
  const std::unique_ptr<NetworkState> machine_;
};

}  // namespace

std::unique_ptr<NetworkState> MakeSystemNetworkState(const NetworkSettings& settings) {
  return std::make_unique<OverriddenNetworkState>(settings.network_state, MakeMachineNetworkState(settings));
}

}  // namespace quillon::http

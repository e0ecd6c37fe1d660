#include "platform/posix/cares_channel.h"

namespace quillon {
namespace {

// ares_library_init is not safe to call from two threads at once, so it runs
// once for every channel of every thread, and is never undone: channels of any
// thread may outlive whoever came first.
bool LibraryReady() {
  static const bool ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
  return ready;
}

bool NamesAServer(ares_channel channel) {
  ares_addr_port_node* servers = nullptr;
  if (ares_get_servers_ports(channel, &servers) != ARES_SUCCESS || servers == nullptr) return false;
  ares_free_data(servers);
  return true;
}

}  // namespace

bool OpenCaresChannel(const ResolverSettings& settings, ares_sock_state_cb on_socket_state, void* state_data,
                      ares_channel* channel) {
  *channel = nullptr;
  if (!LibraryReady()) return false;
  ares_options options{};
  int mask = 0;
  if (on_socket_state != nullptr) {
    options.sock_state_cb = on_socket_state;
    options.sock_state_cb_data = state_data;
    mask |= ARES_OPT_SOCK_STATE_CB;
  }
  char dns_only[] = "b";
  if (!settings.dns_servers.empty()) {
    options.lookups = dns_only;
    options.flags = ARES_FLAG_NOSEARCH;
    mask |= ARES_OPT_LOOKUPS | ARES_OPT_FLAGS;
  }
  if (settings.attempt_timeout_ms > 0) {
    options.timeout = settings.attempt_timeout_ms;
    mask |= ARES_OPT_TIMEOUTMS;
  }
  if (settings.attempts > 0) {
    options.tries = settings.attempts;
    mask |= ARES_OPT_TRIES;
  }
  ares_channel opened = nullptr;
  if (ares_init_options(&opened, &options, mask) != ARES_SUCCESS) return false;
  if (!settings.dns_servers.empty() &&
      (ares_set_servers_ports_csv(opened, settings.dns_servers.c_str()) != ARES_SUCCESS || !NamesAServer(opened))) {
    ares_destroy(opened);
    return false;
  }
  *channel = opened;
  return true;
}

}  // namespace quillon

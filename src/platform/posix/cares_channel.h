// c-ares channels, set up in one place for the forward and the reverse
// resolver, so both read the settings alike.
#pragma once

#include <ares.h>

#include "platform/reverse_resolver.h"

namespace quillon {

// Opens a channel. With `settings.dns_servers` set it asks only those servers,
// exactly the name given, and never reads the hosts file; otherwise it follows
// the system's configuration. A non-zero attempt time-out or count replaces
// c-ares's own. `on_socket_state` (may be null) hears of each socket the
// channel opens or closes. False, with nothing open, when the library or the
// channel cannot be set up, or the server list is malformed or names no
// server: falling back to the system's servers would send the query where the
// settings say it must not go.
bool OpenCaresChannel(const ResolverSettings& settings, ares_sock_state_cb on_socket_state, void* state_data,
                      ares_channel* channel);

}  // namespace quillon

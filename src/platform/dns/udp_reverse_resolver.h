// The reverse resolver on the project's own UDP DNS client, for platforms
// without c-ares. It keeps the promises of ReverseResolver as the c-ares one
// does, against the servers the settings name.
#pragma once

#include <memory>

#include "platform/reverse_resolver.h"

namespace quillon {

// Asks only the servers of `settings.dns_servers`, on `loop`; nothing runs on
// another thread. A time-out or attempt count of 0 takes c-ares's own values
// (5000 ms, 4). Null when the list is malformed or empty: this client reads no
// system configuration, and no lookup may go to servers the setting did not name.
std::unique_ptr<ReverseResolver> MakeUdpReverseResolver(asio::io_context& loop, const ResolverSettings& settings);

}  // namespace quillon

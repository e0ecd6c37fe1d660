// Asynchronous DNS lookups over UDP on an Asio loop, asking only the servers it
// is given: the platform's lookups where c-ares is not at hand. Attempts and
// time-outs mean what c-ares's tries and timeout mean, so a server list behaves
// alike with either.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "platform/dns/dns_message.h"

namespace asio {
class io_context;
}

namespace quillon::dns {

struct Server {
  Ipv4 address{};
  uint16_t port = 53;
  bool operator==(const Server&) const = default;
};

// "a.b.c.d": four decimal numbers up to 255, leading zeros allowed, nothing else.
std::optional<Ipv4> ParseDottedQuad(std::string_view text);

// Reads "ADDR:PORT[,ADDR:PORT...]" (":PORT" may be left out for 53): dotted
// quads, ports 1 to 65535, no blanks, no empty entry. Anything else fails
// with the entry at fault in the text, and `servers` is left empty.
Status ParseServerList(std::string_view text, std::vector<Server>* servers);

struct LookupSettings {
  std::vector<Server> servers;
  // The wait for each answer in the first round over the servers; every later
  // round waits twice as long as the one before.
  std::chrono::milliseconds attempt_timeout{5000};
  // Rounds over the servers: each is asked up to this many times, in turn.
  int attempts = 4;
};

class UdpDnsClient {
 public:
  // The lookup's end: its reply, or kNoAnswer when every attempt went
  // unanswered (or kServerFailure when the last one was refused).
  using Done = std::function<void(const Reply& reply)>;

  UdpDnsClient(asio::io_context& loop, LookupSettings settings);
  // Lookups still running end silently: their `done` is never called.
  ~UdpDnsClient();
  UdpDnsClient(const UdpDnsClient&) = delete;
  UdpDnsClient& operator=(const UdpDnsClient&) = delete;

  // Sends the question to the first server, under a random id from a socket
  // of its own. False when it cannot be asked (no server, a name BuildQuery
  // refuses, no socket): `done` is never called then. Otherwise `done` is
  // called exactly once, from the loop, never before Lookup returns. Replies
  // from anywhere but the servers asked so far, or to another query, are
  // ignored; a SERVFAIL, NOTIMP or REFUSED hands the turn to the next server.
  bool Lookup(const Question& question, Done done);

 private:
  class Query;

  asio::io_context& loop_;
  const std::shared_ptr<const LookupSettings> settings_;
  std::random_device random_;
  std::vector<std::weak_ptr<Query>> running_;
};

}  // namespace quillon::dns

// Reverse lookups against the DNS stub, run alike on the c-ares resolver and on
// the project's UDP client, so both keep the same promises; then what only the
// UDP client decides: forged replies, a server that refuses, no server at all.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dns_stub.h"
#include "platform/reverse_resolver.h"
#include "platform/dns/udp_dns_client.h"
#include "platform/dns/udp_reverse_resolver.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using testing::DnsStub;
using testing::RunFor;
using testing::RunUntil;

struct ReverseFactory {
  const char* name;
  std::unique_ptr<ReverseResolver> (*make)(asio::io_context&, const ResolverSettings&);
};

class ReverseLookup : public ::testing::TestWithParam<ReverseFactory> {
 protected:
  struct Result {
    bool found;
    std::string name;
    bool operator==(const Result&) const = default;
  };

  std::unique_ptr<ReverseResolver> Make(const std::string& servers, int attempt_timeout_ms, int attempts) {
    return GetParam().make(loop_, ResolverSettings{servers, attempt_timeout_ms, attempts});
  }

  // Starts a lookup whose results are appended to `results_`.
  void Start(ReverseResolver& resolver, const std::array<uint8_t, 4>& address) {
    ASSERT_TRUE(resolver.Start(address, [this](bool found, std::string name) {
      results_.push_back({found, std::move(name)});
    }));
  }

  asio::io_context loop_;
  DnsStub dns_{loop_};
  std::vector<Result> results_;
};

TEST_P(ReverseLookup, NamesAndFailures) {
  dns_.Answer("192.0.2.5", {DnsStub::Reply::kName, "host-5.example.test"});
  dns_.Answer("192.0.2.7", {DnsStub::Reply::kBrokenAnswer});
  dns_.Answer("192.0.2.8", {DnsStub::Reply::kName, "bad name!.example.test"});
  auto resolver = Make(dns_.server(), 1000, 2);
  ASSERT_NE(resolver, nullptr);

  struct Case {
    std::array<uint8_t, 4> address;
    const char* dotted;
    Result expected;
  };
  const Case cases[] = {
      {{192, 0, 2, 5}, "192.0.2.5", {true, "host-5.example.test"}},
      {{192, 0, 2, 6}, "192.0.2.6", {false, ""}},  // NXDOMAIN
      {{192, 0, 2, 7}, "192.0.2.7", {false, ""}},  // an answer cut short
      {{192, 0, 2, 8}, "192.0.2.8", {false, ""}},  // not a host name
  };
  for (const Case& c : cases) {
    results_.clear();
    Start(*resolver, c.address);
    ASSERT_TRUE(RunUntil(loop_, [&] { return !results_.empty(); }, 3s)) << c.dotted;
    EXPECT_EQ(results_, std::vector<Result>{c.expected}) << c.dotted;
    EXPECT_EQ(dns_.queries_for(c.dotted), 1) << "an answer, even a failure, is final: " << c.dotted;
  }

  for (const char* malformed : {"not-a-server", " 127.0.0.1:53", "127.0.0.1:53;127.0.0.2:53"}) {
    EXPECT_EQ(Make(malformed, 1000, 2), nullptr) << malformed;
  }
}

TEST_P(ReverseLookup, SilentServerFailsAfterItsAttemptsEachWaitingLonger) {
  dns_.Answer("192.0.2.9", {DnsStub::Reply::kSilent});
  auto resolver = Make(dns_.server(), 200, 2);
  const auto started = std::chrono::steady_clock::now();
  Start(*resolver, {192, 0, 2, 9});
  ASSERT_TRUE(RunUntil(loop_, [&] { return !results_.empty(); }, 5s));
  const auto waited = std::chrono::steady_clock::now() - started;
  // 200 ms for the first round, 400 ms for the second.
  EXPECT_GE(waited, 580ms);
  EXPECT_LT(waited, 1500ms);
  EXPECT_EQ(results_, (std::vector<Result>{{false, ""}}));
  EXPECT_EQ(dns_.queries_for("192.0.2.9"), 2);
}

TEST_P(ReverseLookup, SecondServerGetsItsTurn) {
  DnsStub second(loop_);
  dns_.Answer("192.0.2.9", {DnsStub::Reply::kSilent});
  second.Answer("192.0.2.9", {DnsStub::Reply::kName, "second.example.test"});
  auto resolver = Make(dns_.server() + "," + second.server(), 300, 1);
  const auto started = std::chrono::steady_clock::now();
  Start(*resolver, {192, 0, 2, 9});
  ASSERT_TRUE(RunUntil(loop_, [&] { return !results_.empty(); }, 3s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 280ms);
  EXPECT_EQ(results_, (std::vector<Result>{{true, "second.example.test"}}));
  EXPECT_EQ(dns_.queries_for("192.0.2.9"), 1);
  EXPECT_EQ(second.queries_for("192.0.2.9"), 1);
}

TEST_P(ReverseLookup, LateAnswerAndDestroyedResolverStaySilent) {
  dns_.Answer("192.0.2.10", {DnsStub::Reply::kName, "late.example.test", 400ms});
  auto resolver = Make(dns_.server(), 200, 1);
  Start(*resolver, {192, 0, 2, 10});
  ASSERT_TRUE(RunUntil(loop_, [&] { return !results_.empty(); }, 3s));
  RunFor(loop_, 500ms);
  EXPECT_EQ(results_, (std::vector<Result>{{false, ""}}));

  results_.clear();
  dns_.Answer("192.0.2.11", {DnsStub::Reply::kName, "gone.example.test", 100ms});
  Start(*resolver, {192, 0, 2, 11});
  resolver.reset();
  RunFor(loop_, 300ms);
  EXPECT_EQ(dns_.queries_for("192.0.2.11"), 1);
  EXPECT_TRUE(results_.empty());
}

INSTANTIATE_TEST_SUITE_P(Resolvers, ReverseLookup,
                         ::testing::Values(ReverseFactory{"Ares", MakeSystemReverseResolver},
                                           ReverseFactory{"Udp", MakeUdpReverseResolver}),
                         [](const ::testing::TestParamInfo<ReverseFactory>& instance) { return instance.param.name; });

// ---- The UDP client's own decisions, against servers the test plays by hand ----

namespace dns_test {

using asio::ip::udp;
using namespace quillon::dns;

udp::socket LoopbackSocket(asio::io_context& loop) {
  return udp::socket(loop, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
}

Server ServerOf(const udp::socket& socket) { return {{127, 0, 0, 1}, socket.local_endpoint().port()}; }

// The next datagram at `socket`, waited for a bounded time; empty if none came.
std::vector<uint8_t> Take(udp::socket& socket, udp::endpoint* from) {
  for (int i = 0; i < 200 && socket.available() == 0; ++i) std::this_thread::sleep_for(5ms);
  if (socket.available() == 0) return {};
  std::vector<uint8_t> bytes(512);
  bytes.resize(socket.receive_from(asio::buffer(bytes), *from));
  return bytes;
}

// The query turned into its reply: an error code, or one address.
std::vector<uint8_t> ReplyTo(std::vector<uint8_t> query, uint8_t rcode, Ipv4 address = {}) {
  query[2] |= 0x80;
  query[3] = rcode;
  if (rcode == 0) {
    query[7] = 1;
    const uint8_t record[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    query.insert(query.end(), std::begin(record), std::end(record));
    query.insert(query.end(), address.begin(), address.end());
  }
  return query;
}

TEST(UdpDnsClient, IgnoresForgedRepliesAndTakesALateOne) {
  asio::io_context loop;
  udp::socket first = LoopbackSocket(loop), second = LoopbackSocket(loop), stranger = LoopbackSocket(loop);
  UdpDnsClient client(loop, LookupSettings{{ServerOf(first), ServerOf(second)}, 5000ms, 1});
  std::vector<Reply> replies;
  ASSERT_TRUE(client.Lookup({"files.test", kTypeA}, [&](const Reply& reply) { replies.push_back(reply); }));
  EXPECT_TRUE(replies.empty()) << "reported inside Lookup";

  udp::endpoint asker;
  const std::vector<uint8_t> query = Take(first, &asker);
  ASSERT_FALSE(query.empty());
  // From another port, and with another id: both ignored.
  stranger.send_to(asio::buffer(ReplyTo(query, 0, {10, 6, 6, 6})), asker);
  std::vector<uint8_t> other_id = ReplyTo(query, 0, {10, 6, 6, 7});
  other_id[1] ^= 1;
  first.send_to(asio::buffer(other_id), asker);
  // A refusal hands the turn to the second server long before the 5 s wait ends.
  first.send_to(asio::buffer(ReplyTo(query, 5)), asker);
  ASSERT_TRUE(RunUntil(loop, [&] { return second.available() > 0 || !replies.empty(); }, 2s));
  EXPECT_TRUE(replies.empty());

  // The first server's answer, though late, still counts.
  first.send_to(asio::buffer(ReplyTo(query, 0, {10, 1, 2, 3})), asker);
  ASSERT_TRUE(RunUntil(loop, [&] { return !replies.empty(); }, 2s));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].outcome, Outcome::kAnswer);
  EXPECT_EQ(replies[0].addresses, (std::vector<Ipv4>{{10, 1, 2, 3}}));
}

TEST(UdpDnsClient, AnEmptyServerListMakesNoResolver) {
  // c-ares would read the system's configuration here; this client must not
  // ask servers the setting did not name.
  asio::io_context loop;
  EXPECT_EQ(MakeUdpReverseResolver(loop, ResolverSettings{"", 1000, 1}), nullptr);
}

}  // namespace dns_test
}  // namespace
}  // namespace quillon

// The platform pieces under the engine, on loopback: the system's sockets with
// their start-up count, time limit and repeated notifications, and the name
// lookups (the system's resolver, and the project's UDP client) that ask only
// the servers they are told to.
#include <gtest/gtest.h>

#include "platform/host_resolver.h"
#include "platform/socket_layer.h"
#include "http_fixtures.h"
#include "platform/dns/udp_host_resolver.h"

namespace quillon::http {
namespace {

using namespace std::chrono_literals;
using quillon::http_test::Loopback;
using quillon::http_test::RunUntil;
using quillon::http_test::StubDns;

constexpr Ipv4Address kLocal{127, 0, 0, 1};

TEST(HttpSystemSockets, SocketsNeedAStartupThatIsCounted) {
  asio::io_context loop;
  auto sockets = MakeSystemSocketLayer(loop);
  EXPECT_EQ(sockets->Open(), -1);
  EXPECT_EQ(sockets->LastError(), wsa::kNotInitialised);

  EXPECT_EQ(sockets->Startup(), 0);
  EXPECT_EQ(sockets->Startup(), 0);
  sockets->Cleanup();
  const SocketHandle socket = sockets->Open();
  EXPECT_GT(socket, 0);
  sockets->Close(socket);
  sockets->Cleanup();
  EXPECT_EQ(sockets->Open(), -1);
}

TEST(HttpSystemSockets, ConnectGivesUpAfterItsLimit) {
  // A listener whose queue is full drops new handshakes, so a connect hangs.
  asio::io_context fixtures;
  asio::ip::tcp::acceptor listener(fixtures);
  listener.open(asio::ip::tcp::v4());
  listener.bind(Loopback(0));
  listener.listen(0);
  const uint16_t port = listener.local_endpoint().port();
  // Asynchronous connects start at once and need no waiting for; `fixtures`
  // never runs, and the sockets' end cancels them.
  std::vector<asio::ip::tcp::socket> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.emplace_back(fixtures).async_connect(Loopback(port), [](const asio::error_code&) {});
  }
  std::this_thread::sleep_for(50ms);

  asio::io_context loop;
  auto sockets = MakeSystemSocketLayer(loop, 300ms);
  sockets->Startup();
  const SocketHandle socket = sockets->Open();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sockets->Connect(socket, kLocal, port), -1);
#if defined(_WIN32)
  // Windows refuses a handshake beyond a full queue instead of dropping it.
  if (sockets->LastError() == 10061) {
    sockets->Close(socket);
    GTEST_SKIP() << "this system refuses connections beyond a full queue, so no connect hangs";
  }
#endif
  EXPECT_EQ(sockets->LastError(), wsa::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

  sockets->Close(socket);
}

TEST(HttpSystemSockets, NotifiesAgainWhileDataRemains) {
  asio::io_context fixtures;
  asio::ip::tcp::acceptor listener(fixtures);
  listener.open(asio::ip::tcp::v4());
  listener.bind(Loopback(0));
  listener.listen(4);

  asio::io_context loop;
  auto sockets = MakeSystemSocketLayer(loop);
  sockets->Startup();
  const SocketHandle socket = sockets->Open();
  ASSERT_EQ(sockets->Connect(socket, kLocal, listener.local_endpoint().port()), 0);
  // The connection is in the queue already; the wait for it is bounded all the same.
  asio::ip::tcp::socket peer(fixtures);
  listener.non_blocking(true);
  asio::error_code accepted = asio::error::would_block;
  for (int round = 0; round < 400 && quillon::http_test::WouldBlock(accepted); ++round) {
    if (round > 0) std::this_thread::sleep_for(5ms);
    listener.accept(peer, accepted);
  }
  ASSERT_FALSE(accepted) << accepted.message();

  // Three reads' worth arrives at once and the peer stays open: every block
  // must still be announced without any new arrival.
  const std::string data(3 * 8192, 'x');
  quillon::http_test::ScriptedHttpServer::Send(peer, data);
  size_t received = 0;
  int notifications = 0;
  ASSERT_EQ(sockets->Watch(socket, [&](SocketHandle s, int code) {
    ++notifications;
    EXPECT_EQ(code, kNotifyRead);
    uint8_t buffer[8192];
    const int got = sockets->Recv(s, buffer);
    if (got > 0) received += static_cast<size_t>(got);
  }), 0);
  EXPECT_TRUE(RunUntil(loop, [&] { return received == data.size(); }));
  EXPECT_GE(notifications, 3);

  // After whole blocks a notification may come early and find nothing; then the
  // layer waits for the socket again instead of spinning, and what arrives
  // later is announced.
  const int after_blocks = notifications;
  quillon::http_test::RunFor(loop, 100ms);
  EXPECT_LE(notifications - after_blocks, 1);
  quillon::http_test::ScriptedHttpServer::Send(peer, "tail");
  EXPECT_TRUE(RunUntil(loop, [&] { return received == data.size() + 4; }));

  // Nothing arrives for a socket no longer watched.
  sockets->Unwatch(socket);
  const int before = notifications;
  quillon::http_test::ScriptedHttpServer::Send(peer, "more");
  quillon::http_test::RunFor(loop, 100ms);
  EXPECT_EQ(notifications, before);

  sockets->Close(socket);
}

// The system's resolver (c-ares on POSIX) and the project's UDP one, held to
// the same promises.
struct ResolverFactory {
  const char* name;
  std::unique_ptr<HostResolver> (*make)(std::string, std::chrono::milliseconds, const WaitInterrupt*, Env&);
};

class HttpResolver : public ::testing::TestWithParam<ResolverFactory> {
 protected:
  std::unique_ptr<HostResolver> Make(std::string servers, std::chrono::milliseconds limit = 10s,
                                     const WaitInterrupt* interrupt = nullptr) {
    return GetParam().make(std::move(servers), limit, interrupt, DefaultEnv());
  }
};

TEST_P(HttpResolver, AsksOnlyTheNamedServers) {
  StubDns dns{{{"files.test", "10.1.2.3"}}};
  auto resolver = Make(dns.address());
  EXPECT_EQ(resolver->Resolve("files.test"), (Ipv4Address{10, 1, 2, 3}));
  EXPECT_EQ(resolver->Resolve("missing.test"), std::nullopt);
  const int asked = dns.queries();
  EXPECT_GE(asked, 2);

  // Dotted addresses need no server; a NUL would cut the name short.
  EXPECT_EQ(resolver->Resolve("192.168.7.9"), (Ipv4Address{192, 168, 7, 9}));
  EXPECT_EQ(resolver->Resolve(std::string_view("files.test\0.evil", 16)), std::nullopt);
  EXPECT_EQ(dns.queries(), asked);

  // A setting that names no usable server asks no server at all.
  EXPECT_EQ(Make("not a server list")->Resolve("files.test"), std::nullopt);
}

TEST_P(HttpResolver, ASecondServerGetsItsTurnWithinTheLimit) {
  StubDns silent({}, true);
  StubDns answering{{{"files.test", "10.9.8.7"}}};
  auto resolver = Make(silent.address() + "," + answering.address());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(resolver->Resolve("files.test"), (Ipv4Address{10, 9, 8, 7}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_GT(silent.queries(), 0);

  auto hurried = Make(silent.address(), 500ms);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(hurried->Resolve("files.test"), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
}

TEST_P(HttpResolver, ARaisedInterruptEndsTheLookup) {
  StubDns silent({}, true);
  WaitInterrupt interrupt;
  auto resolver = Make(silent.address(), 10s, &interrupt);
  std::thread raiser([&] {
    std::this_thread::sleep_for(200ms);
    interrupt.Raise();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(resolver->Resolve("files.test"), std::nullopt);
  raiser.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(silent.queries(), 1);
}

INSTANTIATE_TEST_SUITE_P(Resolvers, HttpResolver,
                         ::testing::Values(ResolverFactory{"System", MakeSystemHostResolver},
                                           ResolverFactory{"Udp", MakeUdpHostResolver}),
                         [](const ::testing::TestParamInfo<ResolverFactory>& instance) { return instance.param.name; });

}  // namespace
}  // namespace quillon::http

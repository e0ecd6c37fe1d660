// The engine against a socket layer the test scripts: the send, notification and
// connection-slot rules that real sockets rarely show on demand.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/env.h"
#include "http/http_engine.h"
#include "http_fixtures.h"

namespace quillon::http {
namespace {

class FakeSockets : public SocketLayer {
 public:
  struct Step {
    int result;  // bytes taken or given, 0, or -1
    int error = 0;
    std::string data = {};
  };

  int startup_error = 0;
  int started = 0;
  int connect_error = 0;
  std::deque<Step> sends;  // once empty, a send takes everything
  std::deque<Step> recvs;  // once empty, a receive would block
  std::string sent;
  int writable_waits = 0;
  std::vector<SocketHandle> closed;
  std::map<SocketHandle, Notify> watched;

  int Startup() override { return startup_error == 0 ? (++started, 0) : startup_error; }
  void Cleanup() override { --started; }
  SocketHandle Open() override { return started > 0 ? next_++ : Fail(wsa::kNotInitialised); }
  int Connect(SocketHandle, const Ipv4Address&, uint16_t port) override {
    last_port = port;
    return connect_error == 0 ? 0 : Fail(connect_error);
  }
  int Send(SocketHandle, std::span<const uint8_t> data) override {
    if (sends.empty()) {
      sent.append(data.begin(), data.end());
      return static_cast<int>(data.size());
    }
    Step step = sends.front();
    sends.pop_front();
    if (step.result < 0) return Fail(step.error);
    const size_t taken = std::min<size_t>(static_cast<size_t>(step.result), data.size());
    sent.append(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
    return static_cast<int>(taken);
  }
  bool WaitWritable(SocketHandle, std::chrono::milliseconds) override {
    ++writable_waits;
    return true;
  }
  int Recv(SocketHandle, std::span<uint8_t> buffer) override {
    if (recvs.empty()) return Fail(wsa::kWouldBlock);
    Step step = recvs.front();
    recvs.pop_front();
    if (step.result < 0) return Fail(step.error);
    std::copy(step.data.begin(), step.data.end(), buffer.begin());
    return static_cast<int>(step.data.size());
  }
  void Close(SocketHandle socket) override {
    watched.erase(socket);
    closed.push_back(socket);
  }
  int Watch(SocketHandle socket, Notify notify) override {
    watched[socket] = std::move(notify);
    return 0;
  }
  void Unwatch(SocketHandle socket) override { watched.erase(socket); }
  int LastError() const override { return last_error_; }
  void ClearLastError() override { last_error_ = 0; }

  void Deliver(std::string data) { recvs.push_back({static_cast<int>(data.size()), 0, std::move(data)}); }

  uint16_t last_port = 0;

 private:
  int Fail(int error) {
    last_error_ = error;
    return -1;
  }
  SocketHandle next_ = 5;
  int last_error_ = 0;
};

class FakeResolver : public HostResolver {
 public:
  std::map<std::string, Ipv4Address> names{{"server", {127, 0, 0, 1}}, {"broadcast", {255, 255, 255, 255}}};
  std::optional<Ipv4Address> Resolve(std::string_view name) override {
    auto it = names.find(std::string(name));
    if (it == names.end()) return std::nullopt;
    return it->second;
  }
};

class FakeNetwork : public NetworkState {
 public:
  bool online = true;
  bool proxy = false;
  bool IsOnline() override { return online; }
  bool IsConnectionProxy() override { return proxy; }
};

struct Recorder : HttpEngine::Listener {
  std::vector<std::string> events;
  std::function<void()> on_disconnect;
  void OnConnect1(const std::u16string&) override { events.push_back("connect"); }
  void OnFinish1(int32_t code, const std::u16string& text, uint64_t) override {
    events.push_back("finish " + std::to_string(code) + " " + std::string(text.begin(), text.end()));
  }
  void OnDisconnect1() override {
    events.push_back("disconnect");
    if (on_disconnect) on_disconnect();
  }
};

class HttpEngineTest : public ::testing::Test {
 protected:
  HttpEngineTest() {
    HttpEngine::Platform platform;
    auto sockets = std::make_unique<FakeSockets>();
    auto network = std::make_unique<FakeNetwork>();
    sockets_ = sockets.get();
    network_ = network.get();
    platform.sockets = std::move(sockets);
    platform.resolver = std::make_unique<FakeResolver>();
    platform.network = std::move(network);
    engine_ = std::make_shared<HttpEngine>(DefaultEnv(), std::move(platform));
    recorder_ = std::make_shared<Recorder>();
    engine_->Subscribe(recorder_);
  }

  int32_t Request(std::u16string server = u"server", std::u16string path = u"/a") {
    std::u16string error;
    if (engine_->StartWinsock(error) != 0) return -100;
    error_.clear();
    return engine_->RequestFile1(std::move(server), std::move(path), error_);
  }
  SocketHandle Current() const { return sockets_->watched.empty() ? 0 : sockets_->watched.begin()->first; }
  void Notify(SocketHandle socket, int code) { engine_->OnSocketEvent(socket, code); }

  FakeSockets* sockets_;
  FakeNetwork* network_;
  std::shared_ptr<HttpEngine> engine_;
  std::shared_ptr<Recorder> recorder_;
  std::u16string error_;
};

TEST_F(HttpEngineTest, CompletesShortSendsAndWaitsWhenTheSocketWouldBlock) {
  sockets_->sends = {{5}, {-1, wsa::kWouldBlock}, {3}, {-1, wsa::kWouldBlock}};
  EXPECT_EQ(Request(), 0);
  EXPECT_EQ(sockets_->sent, "GET /a HTTP/1.0\r\nUser-Agent: Quillon v. 1.09\r\nHost: server\r\n\r\n");
  EXPECT_EQ(sockets_->writable_waits, 2);
}

TEST_F(HttpEngineTest, ASendFailureIs99WithTheErrorNumberAndLeavesTheConnectionOpen) {
  sockets_->sends = {{-1, 10054}};
  EXPECT_EQ(Request(), code::kSendFailed);
  EXPECT_EQ(error_, u"10054");
  EXPECT_TRUE(engine_->connected());
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"connect"}));
}

TEST_F(HttpEngineTest, RefusesOfflineThenProxyBeforeMakingASocketThenLookupThenConnect) {
  network_->online = false;
  network_->proxy = true;
  EXPECT_EQ(Request(), code::kNotOnline);
  EXPECT_EQ(error_, u"No Internet connection active.");
  network_->online = true;
  EXPECT_EQ(Request(), code::kViaProxy);
  EXPECT_EQ(error_, u"Internet connection is via proxy server.");
  EXPECT_TRUE(sockets_->closed.empty());

  network_->proxy = false;
  EXPECT_EQ(Request(u"nowhere"), code::kResolveFailed);
  EXPECT_EQ(Request(u"broadcast"), code::kResolveFailed);
  EXPECT_EQ(error_, u"Failed to resolve server IP address.");
  EXPECT_EQ(sockets_->closed.size(), 2u);  // each lookup's socket is closed again

  sockets_->connect_error = 10061;
  EXPECT_EQ(Request(), code::kConnectFailed);
  EXPECT_EQ(error_, u"Winsock error - Failed to connect to server. Error number:10061");
  EXPECT_TRUE(recorder_->events.empty());
  EXPECT_FALSE(engine_->connected());
}

TEST_F(HttpEngineTest, StartupFailureAndMissingStartup) {
  sockets_->startup_error = 10091;
  std::u16string error;
  EXPECT_EQ(engine_->StartWinsock(error), 1);
  EXPECT_EQ(error, u"System not ready for network communication.");
  EXPECT_EQ(engine_->RequestFile1(u"server", u"/a", error), code::kSocketFailed);
  EXPECT_EQ(error, u"Winsock error - Failed to create socket. Error number:10093");

  sockets_->startup_error = 0;
  EXPECT_EQ(engine_->StartWinsock(error), 0);
  EXPECT_EQ(engine_->StartWinsock(error), 0);
  EXPECT_EQ(sockets_->started, 1);  // started once per engine
  engine_->CloseDown();
  EXPECT_EQ(sockets_->started, 0);
}

TEST_F(HttpEngineTest, ReadsSplitsAndFinishesOnTheEmptyRead) {
  ASSERT_EQ(Request(), 0);
  const SocketHandle socket = Current();
  sockets_->Deliver("HTTP/1.0 200 OK\r\n");  // too short to be taken for the header
  Notify(socket, kNotifyRead);
  sockets_->Deliver("HTTP/1.0 203 Partial\r\nContent-Type: text/plain\r\n\r\nabc");
  Notify(socket, kNotifyRead);
  Notify(socket, kNotifyRead);  // woken with nothing to read: not an end
  EXPECT_TRUE(engine_->connected());
  sockets_->Deliver("");
  Notify(socket, kNotifyRead);

  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"connect", "disconnect", "finish 203 Partial"}));
  EXPECT_EQ(engine_->CurSize1(), 17 + 3);
  // A late notification for the closed socket finishes nothing a second time.
  Notify(socket, kNotifyRead);
  Notify(socket, kNotifyClose);
  EXPECT_EQ(recorder_->events.size(), 3u);
}

TEST_F(HttpEngineTest, CloseNotificationDrainsWithoutSplitting) {
  ASSERT_EQ(Request(), 0);
  const std::string reply = "HTTP/1.0 200 OK\r\nServer: long enough to be a header\r\n\r\nxy";
  sockets_->Deliver(reply);
  sockets_->Deliver("z");
  Notify(Current(), kNotifyClose);
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"connect", "disconnect", "finish 0 "}));
  EXPECT_EQ(engine_->ServerHeader1(), u"");
  EXPECT_EQ(engine_->CurSize1(), static_cast<int64_t>(reply.size() + 1));
}

TEST_F(HttpEngineTest, AFailedReadFinishesWithMinusOneAndTheErrorNumber) {
  ASSERT_EQ(Request(), 0);
  sockets_->Deliver(std::string(60, 'x'));
  sockets_->recvs.push_back({-1, 10054});
  const SocketHandle socket = Current();
  Notify(socket, kNotifyRead);
  Notify(socket, kNotifyRead);
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"connect", "disconnect", "finish -1 10054"}));
  EXPECT_EQ(engine_->CurSize1(), 60);  // what arrived before the failure stays
}

TEST_F(HttpEngineTest, ANewRequestClosesTheOpenConnectionFirst) {
  ASSERT_EQ(Request(), 0);
  const SocketHandle first = Current();
  sockets_->Deliver(std::string(60, 'x'));
  Notify(first, kNotifyRead);
  // The OnDisconnect handler still sees the old download.
  int64_t size_seen = -1;
  recorder_->on_disconnect = [&] { size_seen = engine_->CurSize1(); };
  ASSERT_EQ(Request(), 0);
  EXPECT_EQ(size_seen, 60);
  EXPECT_EQ(sockets_->closed, (std::vector<SocketHandle>{first}));
  EXPECT_NE(Current(), first);
  EXPECT_EQ(engine_->CurSize1(), 0);
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"connect", "disconnect", "connect"}));
}

TEST_F(HttpEngineTest, CloseDownRaisesDisconnectOnlyAndKeepsTheFile) {
  engine_->set_port(70000);  // only the low 16 bits reach the address
  ASSERT_EQ(Request(), 0);
  EXPECT_EQ(sockets_->last_port, 70000 & 0xFFFF);
  sockets_->Deliver("HTTP/1.0 200 OK\r\nContent-Length: 4\r\nServer: fake\r\n\r\nbody");
  Notify(Current(), kNotifyRead);
  engine_->CloseDown();
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_EQ(engine_->CurFileString1(), u"body");
  EXPECT_EQ(engine_->ServerCode1(), 200);
  EXPECT_EQ(sockets_->started, 0);
}

}  // namespace
}  // namespace quillon::http

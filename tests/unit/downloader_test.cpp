// Downloader through late-bound calls, against real sockets on loopback: a
// scripted HTTP server and a stub DNS server stand in for the Internet.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "core/events.h"
#include "core/host.h"
#include "core/registry.h"
#include "core/text.h"
#include "product/quillon_product.h"
#include "http_fixtures.h"
#include "test_support.h"

namespace quillon {
namespace {

using http_test::Replying;
using http_test::RunFor;
using http_test::RunUntil;
using http_test::ScriptedHttpServer;
using http_test::StubDns;

std::u16string U(std::string_view ascii) { return AsciiToText(ascii); }
Variant Text(std::string_view ascii) { return Variant::Bstr(U(ascii)); }
std::string Bytes(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// Records the events a Downloader raises; `hook` runs inside each handler.
class EventLog : public Dispatch {
 public:
  struct Event {
    std::string name;
    std::vector<Variant> args;
  };
  std::vector<Event> events;
  std::function<void(const std::string& name)> hook;

  const ClassInfo& Class() const override { return *QuillonTypeLibrary().FindClass("Downloader"); }
  HResult Invoke(DispId dispid, uint16_t, std::span<Variant> args, Variant*, ExceptionInfo*) override {
    const std::string name(Class().events()->FindById(dispid)->name);
    events.push_back({name, {args.begin(), args.end()}});
    if (hook) hook(name);
    return hr::kOk;
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.name);
    return out;
  }
  int count(std::string_view name) const {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.name == name; }));
  }
  const Event* last(std::string_view name) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->name == name) return &*it;
    }
    return nullptr;
  }
};

const std::vector<std::string> kFullDownload = {"OnConnect", "OnDisconnect", "OnDownloadFinish"};

// Longer than 50 bytes, so it is taken for the header even when it arrives alone.
constexpr std::string_view kTextHeader =
    "HTTP/1.0 200 OK\r\nServer: quillon test fixture\r\nContent-Type: text/plain\r\n\r\n";

class DownloaderTest : public ::testing::Test {
 protected:
  DownloaderTest() {
    host_.network().dns_servers = dns_.address();
    host_.network().network_state = "online";
  }

  std::shared_ptr<Dispatch> Make(ClientScope& scope) {
    std::shared_ptr<Dispatch> object;
    EXPECT_EQ(host_.registry().Create(u"Quillon.Downloader", host_, scope, &object), hr::kOk);
    return object;
  }
  std::shared_ptr<Dispatch> Make() { return Make(scope_); }

  static std::shared_ptr<EventLog> Listen(Dispatch& downloader) {
    auto log = std::make_shared<EventLog>();
    downloader.Events()->Advise(log);
    return log;
  }

  static int32_t Request(Dispatch& downloader, uint16_t port, std::string_view server = "127.0.0.1",
                         std::string_view path = "/a.txt") {
    Put(downloader, "Port", Variant::I4(port));
    return Call(downloader, "RequestFile", {Text(server), Text(path)}).i4();
  }

  bool AwaitFinishes(const EventLog& log, int count = 1) {
    return RunUntil(loop_, [&] { return log.count("OnDownloadFinish") >= count; });
  }

  static bool Busy(Dispatch& downloader) { return Get(downloader, "Busy").boolean(); }
  static std::u16string Str(Dispatch& downloader, std::string_view name) { return Get(downloader, name).bstr(); }

  asio::io_context loop_;
  StubDns dns_{{{"files.test", "127.0.0.1"}}};
  QuillonHost host_;
  ClientScope scope_{loop_};
  testing::ScratchDir dir_;
};

TEST_F(DownloaderTest, DownloadsAFileWithItsEventsInOrder) {
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
  ScriptedHttpServer server(Replying(header + "line1\nline2\r\n"));
  auto d = Make();
  auto log = Listen(*d);
  std::optional<bool> busy_on_connect, busy_on_finish;
  std::u16string text_on_finish = u"unset";
  int32_t size_on_finish = -1;
  log->hook = [&](const std::string& name) {
    if (name == "OnConnect") busy_on_connect = Busy(*d);
    if (name == "OnDownloadFinish") {
      busy_on_finish = Busy(*d);
      text_on_finish = Str(*d, "CurFileAsString");
      size_on_finish = Get(*d, "CurSize").i4();
    }
  };

  Put(*d, "Port", Variant::I4(server.port()));
  Put(*d, "Port", Text("not a port"));  // ignored
  EXPECT_EQ(Call(*d, "RequestFile", {Text("http://files.test"), Text("a.txt")}).i4(), 0);
  EXPECT_EQ(Str(*d, "ErrorString"), u"");
  EXPECT_TRUE(Busy(*d));
  ASSERT_TRUE(AwaitFinishes(*log));

  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /a.txt HTTP/1.0\r\nUser-Agent: Quillon v. 1.09\r\nHost: files.test\r\n\r\n");
  EXPECT_EQ(log->names(), kFullDownload);
  EXPECT_EQ(log->events[0].args[0], Text("files.test"));
  EXPECT_EQ(log->events[2].args[0], Variant::I4(200));
  EXPECT_EQ(log->events[2].args[1], Text("OK"));
  EXPECT_EQ(busy_on_connect, false);
  EXPECT_EQ(busy_on_finish, true);
  EXPECT_EQ(text_on_finish, u"");
  EXPECT_EQ(size_on_finish, 13);

  EXPECT_FALSE(Busy(*d));
  EXPECT_EQ(Get(*d, "ServerCode"), Variant::I4(200));
  EXPECT_EQ(Str(*d, "ServerHeader"), U(header));
  EXPECT_EQ(Get(*d, "CurSize"), Variant::I4(13));
  EXPECT_EQ(Str(*d, "CurFileAsString"), u"line1\r\nline2\r\n");
}

TEST_F(DownloaderTest, RepliesFinishWithWhatTheirHeaderSays) {
  const std::string long_header = "HTTP/1.0 200 OK\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\nbody";
  struct Case {
    std::string reply;
    int32_t code;
    std::string reason;
    std::string file;
  } cases[] = {
      {"HTTP/1.0 404 Not Found\r\nServer: stub\r\n\r\n<html>gone</html>", 404, "Not Found", "<html>gone</html>"},
      {"HTTP/1.0 302 Found\r\nContent-Location: /c.txt\r\nLocation: /new/a.txt\r\n\r\nmoved", 302,
       "FoundLocation: /c.txt", "moved"},
      {"HTTP/1.0 302 Found\r\nLocation: /new/a.txt\r\nServer: stub\r\n\r\n", 302, "FoundLocation: /new/a.txt", ""},
      {"HTTP/1.1 200\r\nServer: a server with a long name\r\n\r\nx", 200, "", "x"},
      {"", 0, "", ""},                      // closed without a byte
      {long_header, 0, "", long_header},    // no end of header in the first block
  };
  auto d = Make();
  auto log = Listen(*d);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 40));
    ScriptedHttpServer server(Replying(c.reply));
    log->events.clear();
    ASSERT_EQ(Request(*d, server.port()), 0);
    ASSERT_TRUE(AwaitFinishes(*log));
    EXPECT_EQ(log->names(), kFullDownload);
    EXPECT_EQ(log->last("OnDownloadFinish")->args[0], Variant::I4(c.code));
    EXPECT_EQ(log->last("OnDownloadFinish")->args[1], Text(c.reason));
    EXPECT_EQ(Str(*d, "CurFileAsString"), U(c.file));
    EXPECT_FALSE(Busy(*d));
    EXPECT_EQ(server.requests().size(), 1u);  // a redirect is reported, not followed
  }
}

TEST_F(DownloaderTest, AShortFirstBlockIsFileAndTheNextBlockIsParsed) {
  ScriptedHttpServer server([](ScriptedHttpServer& s, int fd) {
    ScriptedHttpServer::Send(fd, "HTTP/1.0 200 OK\r\n");
    s.Pause(std::chrono::milliseconds(300));
    ScriptedHttpServer::Send(fd, "HTTP/1.0 201 Created\r\nServer: quillon test fixture\r\n\r\nbody");
  });
  auto d = Make();
  auto log = Listen(*d);
  ASSERT_EQ(Request(*d, server.port()), 0);
  ASSERT_TRUE(AwaitFinishes(*log));
  EXPECT_EQ(Get(*d, "ServerCode"), Variant::I4(201));
  EXPECT_EQ(Str(*d, "CurFileAsString"), u"HTTP/1.0 200 OK\r\nbody");
}

TEST_F(DownloaderTest, KeepsEveryByteAndSavesTextWithCrLf) {
  std::string every_byte;
  for (int round = 0; round < 40; ++round) {
    for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  }
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
  auto d = Make();
  auto log = Listen(*d);
  {
    ScriptedHttpServer server(Replying(header + every_byte));
    ASSERT_EQ(Request(*d, server.port()), 0);
    ASSERT_TRUE(AwaitFinishes(*log));
  }
  EXPECT_EQ(Get(*d, "CurSize"), Variant::I4(static_cast<int32_t>(every_byte.size())));
  const std::string binary = dir_.File("every.bin");
  EXPECT_EQ(Call(*d, "WriteBinaryFile", {Text(binary), Variant::Bool(false)}), Variant::I4(0));
  EXPECT_EQ(Bytes(testing::ReadAll(binary)), every_byte);

  ScriptedHttpServer lines(Replying(header + "a\nb\rc\n\rd\r\ne"));
  ASSERT_EQ(Request(*d, lines.port()), 0);
  ASSERT_TRUE(AwaitFinishes(*log, 2));
  const std::string text = dir_.File("lines.txt");
  EXPECT_EQ(Call(*d, "WriteTextFile", {Text(text), Variant::Bool(false)}), Variant::I4(0));
  EXPECT_EQ(Bytes(testing::ReadAll(text)), "a\r\nb\r\nc\r\n\r\nd\r\ne");
}

TEST_F(DownloaderTest, ASlowBodyShowsProgressWhileBusy) {
  ScriptedHttpServer server([](ScriptedHttpServer& s, int fd) {
    ScriptedHttpServer::Send(fd, kTextHeader);
    for (int i = 0; i < 5; ++i) {
      ScriptedHttpServer::Send(fd, "chunk");
      if (!s.Pause(std::chrono::milliseconds(150))) return;
    }
  });
  auto d = Make();
  auto log = Listen(*d);
  ASSERT_EQ(Request(*d, server.port()), 0);
  ASSERT_TRUE(RunUntil(loop_, [&] { return Get(*d, "CurSize").i4() > 0; }));
  EXPECT_TRUE(Busy(*d));
  EXPECT_LT(Get(*d, "CurSize").i4(), 25);
  EXPECT_EQ(Str(*d, "CurFileAsString"), u"");  // bytes have arrived, but the file is not done
  ASSERT_TRUE(AwaitFinishes(*log));
  EXPECT_EQ(Get(*d, "CurSize"), Variant::I4(25));
}

TEST_F(DownloaderTest, DisconnectNetworkEndsADownloadThatNeverAnswers) {
  ScriptedHttpServer server([](ScriptedHttpServer& s, int fd) { s.AwaitPeerClose(fd, std::chrono::seconds(10)); });
  auto d = Make();
  auto log = Listen(*d);
  ASSERT_EQ(Request(*d, server.port()), 0);
  RunFor(loop_, std::chrono::milliseconds(200));
  EXPECT_EQ(log->names(), std::vector<std::string>{"OnConnect"});

  Call(*d, "DisconnectNetwork");
  EXPECT_EQ(log->names(), (std::vector<std::string>{"OnConnect", "OnDisconnect"}));
  EXPECT_TRUE(RunUntil(loop_, [&] { return server.peer_closed(); }));
  EXPECT_EQ(log->count("OnDownloadFinish"), 0);
  EXPECT_TRUE(Busy(*d));  // only a finished download clears it
}

TEST_F(DownloaderTest, FailuresReportTheirCodeAndText) {
  auto d = Make();
  auto log = Listen(*d);
  struct Case {
    std::string server, path;
    uint16_t port;
    int32_t code;
    std::string text;
  } cases[] = {
      {"", "/a", 80, 113, "Server address is missing."},
      {"127.0.0.1", "", 80, 114, "URL of file to retrieve is missing."},
      {"missing.test", "/a", 80, 112, "Failed to resolve server IP address."},
      {"255.255.255.255", "/a", 80, 112, "Failed to resolve server IP address."},
      {"HTTP://files.test", "/a", 80, 112, "Failed to resolve server IP address."},
      {"127.0.0.1", "/a", http_test::UnusedPort(), 110, "Winsock error - Failed to connect to server. Error number:10061"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    EXPECT_EQ(Request(*d, c.port, c.server, c.path), c.code);
    EXPECT_EQ(Str(*d, "ErrorString"), U(c.text));
    EXPECT_FALSE(Busy(*d));
  }
  EXPECT_GT(dns_.queries(), 0);
  EXPECT_TRUE(log->events.empty());
  // A text argument that is no text reaches the caller, and nothing else happens.
  EXPECT_THROW(Call(*d, "RequestFile", {Variant::Null(), Text("/a")}), DispatchError);

  // A later request needs no reset.
  ScriptedHttpServer server(Replying("HTTP/1.0 200 OK\r\nServer: stub\r\nContent-Type: text/plain\r\n\r\nok"));
  EXPECT_EQ(Request(*d, server.port()), 0);
  EXPECT_EQ(Str(*d, "ErrorString"), u"");
  EXPECT_TRUE(AwaitFinishes(*log));
}

TEST_F(DownloaderTest, NetworkStateSettingRefusesOfflineAndProxy) {
  struct Case {
    std::string state;
    int32_t code;
    std::string text;
    bool online, proxy;
  } cases[] = {
      {"offline", 106, "No Internet connection active.", false, false},
      {"proxy", 107, "Internet connection is via proxy server.", true, true},
  };
  for (const Case& c : cases) {
    host_.network().network_state = c.state;
    ClientScope scope(loop_);
    auto d = Make(scope);
    EXPECT_EQ(Get(*d, "Online").boolean(), c.online);
    EXPECT_EQ(Get(*d, "ProxyConnection").boolean(), c.proxy);
    EXPECT_EQ(Request(*d, 80), c.code);
    EXPECT_EQ(Str(*d, "ErrorString"), U(c.text));
  }
}

TEST_F(DownloaderTest, AProxyInTheSettingsIsRefused) {
  host_.network().network_state = "auto";
  host_.network().proxy = "http://127.0.0.1:9";
  auto d = Make();
  const bool online = Get(*d, "Online").boolean();
  const bool proxy = Get(*d, "ProxyConnection").boolean();
  const int32_t result = online ? Request(*d, 80) : 0;

  EXPECT_TRUE(proxy);
  if (!online) GTEST_SKIP() << "no interface besides loopback is up here, so the offline refusal comes first";
  EXPECT_EQ(result, 107);
}

TEST_F(DownloaderTest, ASilentDnsServerFailsWithinTheLookupBound) {
  // The lookup's 10 s bound runs on the host's clock, which jumps 4 s a reading.
  StubDns silent({}, true);
  testing::SteppingClockEnv clock(std::chrono::seconds(4));
  QuillonHost host(clock);
  host.network().dns_servers = silent.address();
  host.network().network_state = "online";
  std::shared_ptr<Dispatch> d;
  ASSERT_EQ(host.registry().Create(u"Quillon.Downloader", host, scope_, &d), hr::kOk);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Request(*d, 80, "quiet.test"), 112);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The query may still be on its way to the stub's thread.
  for (const auto until = start + std::chrono::seconds(5); silent.queries() == 0 && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(silent.queries(), 0);
}

TEST_F(DownloaderTest, SavesReportTheirCodes) {
  ScriptedHttpServer server(Replying(std::string(kTextHeader) + "x\ny"));
  auto d = Make();
  auto log = Listen(*d);
  ASSERT_EQ(Request(*d, server.port()), 0);
  ASSERT_TRUE(AwaitFinishes(*log));

  const std::string path = dir_.File("out.txt");
  const auto write = [&](std::string_view member, const std::string& target, bool if_delete) {
    return Call(*d, member, {Text(target), Variant::Bool(if_delete)}).i4();
  };
  EXPECT_EQ(write("WriteTextFile", path, false), 0);
  EXPECT_EQ(Bytes(testing::ReadAll(path)), "x\r\ny");
  EXPECT_EQ(write("WriteBinaryFile", path, false), 1);
  EXPECT_EQ(Str(*d, "ErrorString"), u"File exists");
  EXPECT_EQ(Bytes(testing::ReadAll(path)), "x\r\ny");
  EXPECT_EQ(write("WriteBinaryFile", path, true), 0);
  EXPECT_EQ(Bytes(testing::ReadAll(path)), "x\ny");

  EXPECT_NE(write("WriteBinaryFile", dir_.File("no/such/folder"), false), 0);
  EXPECT_NE(Str(*d, "ErrorString"), u"");
  EXPECT_EQ(write("WriteTextFile", dir_.File("again.txt"), false), 0);
  EXPECT_EQ(Str(*d, "ErrorString"), u"");

  // A link at the path is followed: the file it names gets the content.
  const std::string link = dir_.File("link.txt");
  if (testing::MakeSymlink(testing::PathOf(path), testing::PathOf(link))) {
    EXPECT_EQ(write("WriteTextFile", link, true), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(testing::PathOf(link)));
    EXPECT_EQ(Bytes(testing::ReadAll(path)), "x\r\ny");
  }

  // With nothing downloaded, an existing file is still refused or deleted first.
  ScriptedHttpServer empty(Replying(""));
  ASSERT_EQ(Request(*d, empty.port()), 0);
  ASSERT_TRUE(AwaitFinishes(*log, 2));
  EXPECT_EQ(write("WriteBinaryFile", path, false), 1);
  EXPECT_EQ(write("WriteBinaryFile", path, true), 2);
  EXPECT_EQ(Str(*d, "ErrorString"), u"Current file has no content");
  EXPECT_FALSE(std::filesystem::exists(testing::PathOf(path)));
}

TEST_F(DownloaderTest, ARequestFromTheFinishHandlerKeepsBusy) {
  ScriptedHttpServer server(Replying(std::string(kTextHeader) + "same file"));
  auto d = Make();
  auto log = Listen(*d);
  int32_t second = -1;
  log->hook = [&](const std::string& name) {
    if (name == "OnDownloadFinish" && second == -1) second = Request(*d, server.port());
  };
  ASSERT_EQ(Request(*d, server.port()), 0);
  ASSERT_TRUE(AwaitFinishes(*log));
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(Busy(*d));  // the second download is running
  ASSERT_TRUE(AwaitFinishes(*log, 2));
  EXPECT_FALSE(Busy(*d));
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(DownloaderTest, DownloadersOfOneClientShareEventsAndSurviveEachOther) {
  ScriptedHttpServer server([](ScriptedHttpServer& s, int fd) {
    ScriptedHttpServer::Send(fd, kTextHeader);
    for (int i = 0; i < 4; ++i) {
      ScriptedHttpServer::Send(fd, "part");
      if (!s.Pause(std::chrono::milliseconds(100))) return;
    }
  });
  auto a = Make();
  auto b = Make();
  auto log_a = Listen(*a);
  auto log_b = Listen(*b);
  ASSERT_EQ(Request(*b, server.port()), 0);
  EXPECT_EQ(log_a->names(), std::vector<std::string>{"OnConnect"});
  ASSERT_TRUE(RunUntil(loop_, [&] { return Get(*b, "CurSize").i4() > 0; }));

  a.reset();  // the other's download goes on
  ASSERT_TRUE(AwaitFinishes(*log_b));
  EXPECT_EQ(log_b->names(), kFullDownload);
  EXPECT_EQ(Str(*b, "CurFileAsString"), u"partpartpartpart");
  EXPECT_FALSE(Busy(*b));
  EXPECT_EQ(log_a->names(), std::vector<std::string>{"OnConnect"});
}

TEST_F(DownloaderTest, TheLastDownloaderClosesItsClientsConnection) {
  ScriptedHttpServer server([](ScriptedHttpServer& s, int fd) { s.AwaitPeerClose(fd, std::chrono::seconds(10)); });
  auto d = Make();
  ASSERT_EQ(Request(*d, server.port()), 0);
  d.reset();
  EXPECT_TRUE(RunUntil(loop_, [&] { return server.peer_closed(); }));
}

TEST_F(DownloaderTest, TwoClientsDownloadAtOnceWithoutSeeingEachOther) {
  const auto slow = [](char letter) {
    return [letter](ScriptedHttpServer& s, int fd) {
      ScriptedHttpServer::Send(fd, kTextHeader);
      for (int i = 0; i < 3; ++i) {
        ScriptedHttpServer::Send(fd, std::string(3, letter));
        if (!s.Pause(std::chrono::milliseconds(100))) return;
      }
    };
  };
  ScriptedHttpServer server_a(slow('a')), server_b(slow('b'));
  ClientScope other(loop_);
  auto a = Make();
  auto b = Make(other);
  auto log_a = Listen(*a);
  auto log_b = Listen(*b);
  ASSERT_EQ(Request(*a, server_a.port()), 0);
  ASSERT_EQ(Request(*b, server_b.port()), 0);
  ASSERT_TRUE(RunUntil(loop_, [&] { return log_a->count("OnDownloadFinish") && log_b->count("OnDownloadFinish"); }));
  EXPECT_EQ(log_a->names(), kFullDownload);
  EXPECT_EQ(log_b->names(), kFullDownload);
  EXPECT_EQ(Str(*a, "CurFileAsString"), u"aaaaaaaaa");
  EXPECT_EQ(Str(*b, "CurFileAsString"), u"bbbbbbbbb");
}

}  // namespace
}  // namespace quillon

// The parts of the quillon command that need no network: URL handling, progress
// text and the in-process session's loop and event sink.
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>

#include "cli/http_url.h"
#include "cli/progress.h"
#include "cli/session.h"

namespace quillon::cli {
namespace {

HttpTarget Parse(std::string_view url) {
  std::string why;
  std::optional<HttpTarget> target = ParseHttpUrl(url, &why);
  EXPECT_TRUE(target.has_value()) << url << ": " << why;
  return target.value_or(HttpTarget{});
}

std::string Refusal(std::string_view url) {
  std::string why;
  EXPECT_FALSE(ParseHttpUrl(url, &why).has_value()) << url;
  return why;
}

TEST(HttpUrl, SplitsHostPortAndPath) {
  HttpTarget t = Parse("HTTP://files.test:8080/dir/a.txt?x=1#part");
  EXPECT_EQ(t.host, "files.test");
  EXPECT_EQ(t.port, 8080);
  EXPECT_EQ(t.path, "/dir/a.txt?x=1");

  t = Parse("127.0.0.1");
  EXPECT_EQ(t.host, "127.0.0.1");
  EXPECT_EQ(t.port, 80);
  EXPECT_EQ(t.path, "/");

  // A query straight after the host still asks for a path.
  EXPECT_EQ(Parse("http://h?q=1").path, "/?q=1");
  EXPECT_EQ(Parse("http://h:65535/").port, 65535);
}

TEST(HttpUrl, RefusesWhatTheDownloaderCannotFetch) {
  EXPECT_NE(Refusal("https://h/x").find("https://"), std::string::npos);
  EXPECT_NE(Refusal("ftp://h/x").find("only http://"), std::string::npos);
  EXPECT_NE(Refusal("http://user:pw@h/x").find("user names"), std::string::npos);
  EXPECT_NE(Refusal("http://[::1]:80/x").find("IPv6"), std::string::npos);
  for (const char* url : {"http://h:0/", "http://h:65536/", "http://h:/", "http://h:8o/", "http://h:123456/"}) {
    EXPECT_NE(Refusal(url).find("port"), std::string::npos) << url;
  }
  EXPECT_NE(Refusal("http:///x").find("no server"), std::string::npos);
  EXPECT_NE(Refusal("http://:80/x").find("no server"), std::string::npos);
}

TEST(HttpUrl, DefaultFileNameIsOnePlainName) {
  EXPECT_EQ(DefaultFileName("/a/b/notes.txt"), "notes.txt");
  EXPECT_EQ(DefaultFileName("/a/b/x%20y.txt?download=1"), "x y.txt");
  EXPECT_EQ(DefaultFileName("/dir/"), "index.html");
  EXPECT_EQ(DefaultFileName("/"), "index.html");
  // Escapes must not lead out of the current folder.
  EXPECT_EQ(DefaultFileName("/%2e%2e"), "index.html");
  EXPECT_EQ(DefaultFileName("/a%2Fb"), "index.html");
  EXPECT_EQ(DefaultFileName("/a%00b"), "index.html");
  // Broken escapes stay as they are.
  EXPECT_EQ(DefaultFileName("/100%zz"), "100%zz");
  EXPECT_EQ(DefaultFileName("/end%4"), "end%4");
}

TEST(HttpUrl, RedirectsResolveAgainstTheUrlTheyCameFrom) {
  const HttpTarget from = Parse("http://files.test:8080/dir/a.txt?x=1");
  const struct {
    const char* location;
    const char* url;  // empty: refused
  } cases[] = {
      {"http://other.test/b.txt", "http://other.test/b.txt"},
      {"HTTP://other.test:81", "http://other.test:81/"},
      {"//other.test/b", "http://other.test/b"},
      {"/b.txt#part", "http://files.test:8080/b.txt"},
      {"b.txt?y=2", "http://files.test:8080/dir/b.txt?y=2"},
      {"/x?next=http://elsewhere.test/", "http://files.test:8080/x?next=http://elsewhere.test/"},
      {"https://files.test/a.txt", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string why;
    const std::optional<HttpTarget> to = ResolveRedirect(from, c.location, &why);
    EXPECT_EQ(to ? TargetUrl(*to) : "", c.url) << c.location;
    if (!to) {
      EXPECT_FALSE(why.empty()) << c.location;
    }
  }
}

TEST(HttpUrl, HeaderFieldIsTheWholeLineOfThatName) {
  const std::string header = "HTTP/1.0 302 Found\r\nX-Location: no\r\nlocation:  /a b \r\nLocation: /second\r\n\r\n";
  EXPECT_EQ(HeaderField(header, "location"), "/a b");
  EXPECT_EQ(HeaderField("HTTP/1.0 200 OK\nServer: s\n\n", "server"), "s");
  EXPECT_EQ(HeaderField(header, "server"), std::nullopt);
}

TEST(Progress, ContentLengthIsReadOnlyFromItsOwnHeader) {
  EXPECT_EQ(ContentLength("HTTP/1.0 200 OK\r\ncontent-LENGTH:  1234 \r\n\r\n"), 1234);
  EXPECT_EQ(ContentLength("HTTP/1.0 200 OK\nContent-Length: 7\n\n"), 7);
  EXPECT_EQ(ContentLength("HTTP/1.0 200 OK\r\nContent-Length-Range: 5\r\n\r\n"), std::nullopt);
  EXPECT_EQ(ContentLength("HTTP/1.0 200 OK\r\nContent-Length: 12x\r\n\r\n"), std::nullopt);
  EXPECT_EQ(ContentLength("HTTP/1.0 200 OK\r\nContent-Length: \r\n\r\n"), std::nullopt);
  EXPECT_EQ(ContentLength("HTTP/1.0 200 OK\r\nContent-Length: 9999999999999999999\r\n\r\n"), std::nullopt);
  EXPECT_EQ(ContentLength(""), std::nullopt);
}

TEST(Progress, NumbersReadAsPeopleExpect) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1024), "1.00 KiB");
  EXPECT_EQ(FormatBytes(1536), "1.50 KiB");
  EXPECT_EQ(FormatBytes(200 * 1024), "200 KiB");
  EXPECT_EQ(FormatBytes(int64_t{12} * 1024 * 1024 + 300 * 1024), "12.3 MiB");
  EXPECT_EQ(FormatRate(2048, 2.0), "1.00 KiB/s");
  EXPECT_EQ(FormatRate(2048, 0.0), "-");
  EXPECT_EQ(FormatElapsed(0.04), "0.0 s");
  EXPECT_EQ(FormatElapsed(59.9), "59.9 s");
  EXPECT_EQ(FormatElapsed(61), "1:01");
  EXPECT_EQ(FormatElapsed(3725), "1:02:05");
}

TEST(Progress, BarFitsItsWidthAndNeverPassesFull) {
  const Progress half{512, 1024, 1.0};
  for (int width : {20, 40, 79, 200}) {
    EXPECT_LE(ProgressBar(half, width).size(), static_cast<size_t>(width)) << width;
  }
  const std::string bar = ProgressBar(half, 79);
  EXPECT_EQ(bar.front(), '[');
  EXPECT_NE(bar.find(" 50%"), std::string::npos) << bar;

  // More bytes than announced (a wrong Content-Length) shows a full bar, not more.
  const std::string over = ProgressBar({4096, 1024, 1.0}, 79);
  EXPECT_NE(over.find("100%"), std::string::npos) << over;
  EXPECT_EQ(over.substr(0, over.find(']')).find('.'), std::string::npos) << over;

  // Without a total there is nothing to fill.
  const std::string open = ProgressBar({1536, std::nullopt, 2.0}, 79);
  EXPECT_EQ(open.find('['), std::string::npos) << open;
  EXPECT_NE(open.find("1.50 KiB"), std::string::npos) << open;
}

TEST(Progress, LogLineCarriesTheExactCount) {
  EXPECT_EQ(ProgressLine({1536, std::nullopt, 2.0}), "received 1.50 KiB (1536 bytes) in 2.0 s, 768 B/s");
  EXPECT_EQ(ProgressLine({512, 2048, 0.5}), "received 512 B (512 bytes) of 2.00 KiB (25%) in 0.5 s, 1.00 KiB/s");
}

TEST(Session, RunUntilTellsDoneFromDeadlineFromNothingLeft) {
  Session session;
  EXPECT_EQ(session.RunUntil([] { return true; }), Session::Wait::kDone);
  // No work at all: waiting could never end.
  EXPECT_EQ(session.RunUntil([] { return false; }), Session::Wait::kIdle);
  EXPECT_EQ(session.RunUntil([] { return false; }, Session::Clock::now() + std::chrono::seconds(5)),
            Session::Wait::kIdle);

  bool fired = false;
  asio::steady_timer timer(session.loop(), std::chrono::milliseconds(20));
  timer.async_wait([&](const asio::error_code&) { fired = true; });
  EXPECT_EQ(session.RunUntil([&] { return fired; }, Session::Clock::now() + std::chrono::seconds(5)),
            Session::Wait::kDone);

  asio::steady_timer later(session.loop(), std::chrono::seconds(30));
  later.async_wait([](const asio::error_code&) {});
  const auto start = Session::Clock::now();
  EXPECT_EQ(session.RunUntil([] { return false; }, start + std::chrono::milliseconds(50)), Session::Wait::kDeadline);
  EXPECT_LT(Session::Clock::now() - start, std::chrono::seconds(5));
  later.cancel();
}

TEST(Session, CreatesClassesByProgIdAndRefusesOthers) {
  Session session;
  EXPECT_NE(session.Create(u"quillon.fileops"), nullptr);
  EXPECT_THROW(session.Create(u"Quillon.Location"), Failure);
  EXPECT_THROW(session.Create(u"Nope.Nothing"), Failure);
}

TEST(EventSink, HandsEachEventToItsHandler) {
  Session session;
  std::shared_ptr<Dispatch> info = session.Create(u"Quillon.IPInfo");
  std::shared_ptr<EventSink> sink = EventSink::Connect(*info);
  std::vector<std::string> seen;
  sink->On("onhostnameresult", [&](std::span<Variant> args) { seen.push_back(Utf8(args[0]) + "/" + Utf8(args[2])); });
  EXPECT_THROW(sink->On("OnConnect", {}), std::logic_error);

  // Before EnableHostNameData the result comes at once, through the event.
  Call(*info, "GetHostNameFromIP", {Text("192.0.2.1")});
  EXPECT_EQ(seen, std::vector<std::string>{"192.0.2.1/1"});

  // An event nobody handles is accepted.
  Variant args[] = {Text("x")};
  Variant result = Variant::I4(7);
  EXPECT_EQ(sink->Invoke(99, kDispatchMethod, args, &result, nullptr), hr::kOk);
  EXPECT_TRUE(result.is_empty());

  // An object without events cannot take a sink.
  std::shared_ptr<Dispatch> fo = session.Create(u"Quillon.FileOps");
  EXPECT_THROW(EventSink::Connect(*fo), std::logic_error);
}

}  // namespace
}  // namespace quillon::cli

// Host-name lookups as clients see them: IPInfo through dispatch, its events
// recorded by a sink, and real c-ares lookups answered by a DNS stub on
// 127.0.0.1. The engine's own rules are checked with a scripted resolver.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "dns_stub.h"
#include "core/dispatch.h"
#include "core/events.h"
#include "core/host.h"
#include "core/registry.h"
#include "ipinfo/ip_info.h"
#include "core/ipv4_text.h"
#include "ipinfo/lookup_engine.h"
#include "product/quillon_product.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using testing::DnsStub;
using testing::HostNameSink;
using testing::RunFor;
using testing::RunUntil;
using Event = HostNameSink::Event;

Variant Text(std::u16string text) { return Variant::Bstr(std::move(text)); }


class IPInfoHostName : public ::testing::Test {
 protected:
  IPInfoHostName() {
    host_.network().dns_servers = dns_.server();
    dns_.Answer("192.0.2.5", {DnsStub::Reply::kName, "host-5.example.test"});
    dns_.Answer("127.0.0.1", {DnsStub::Reply::kName, "loopback.example.test"});
    dns_.Answer("192.0.2.6", {DnsStub::Reply::kNxDomain});
    dns_.Answer("192.0.2.7", {DnsStub::Reply::kBrokenAnswer});
    dns_.Answer("192.0.2.9", {DnsStub::Reply::kSilent});
  }

  // An IPInfo of this test's client connection, with a recording sink.
  std::shared_ptr<Dispatch> NewIPInfo(std::shared_ptr<HostNameSink>* sink, ClientScope* scope = nullptr) {
    std::shared_ptr<Dispatch> info = CreateIPInfo(host_, scope ? *scope : scope_);
    *sink = std::make_shared<HostNameSink>();
    info->Events()->Advise(*sink);
    return info;
  }

  bool Busy(Dispatch& info) { return Get(info, "Busy").boolean(); }

  asio::io_context loop_;
  DnsStub dns_{loop_};
  QuillonHost host_;
  ClientScope scope_{loop_};
};

TEST_F(IPInfoHostName, CodesOneToThreeAreReportedInsideTheCall) {
  std::shared_ptr<HostNameSink> sink;
  auto info = NewIPInfo(&sink);

  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.5")});
  ASSERT_EQ(sink->events, (std::vector<Event>{{u"192.0.2.5", u"", 1}}));
  EXPECT_FALSE(Busy(*info));

  EXPECT_EQ(Call(*info, "EnableHostNameData"), Variant::I4(0));
  EXPECT_EQ(Get(*info, "ErrorString"), Text(u""));
  EXPECT_EQ(Call(*info, "EnableHostNameData"), Variant::I4(0));

  sink->events.clear();
  for (const char16_t* bad : {u"255.255.255.255", u"abc", u"", u"1.2.3.4.5", u" 1.2.3.4"}) {
    Call(*info, "GetHostNameFromIP", {Text(bad)});
  }
  Call(*info, "GetHostNameFromIP", {Variant::Null()});  // no text: looked up as ""
  EXPECT_EQ(sink->events, (std::vector<Event>{{u"255.255.255.255", u"", 2},
                                              {u"abc", u"", 2},
                                              {u"", u"", 2},
                                              {u"1.2.3.4.5", u"", 2},
                                              {u" 1.2.3.4", u"", 2},
                                              {u"", u"", 2}}));
  EXPECT_FALSE(Busy(*info));
  EXPECT_EQ(dns_.queries_for("255.255.255.255"), 0);

  // A server list that cannot be used: the lookup cannot start (code 3), and
  // nothing is asked of the system's own servers instead.
  // (A connection of its own: this one's engine already runs with the stub.)
  QuillonHost broken;
  broken.network().dns_servers = "not-a-server";
  ClientScope other(loop_);
  std::shared_ptr<Dispatch> refused = CreateIPInfo(broken, other);
  auto refused_sink = std::make_shared<HostNameSink>();
  refused->Events()->Advise(refused_sink);
  EXPECT_EQ(Call(*refused, "EnableHostNameData"), Variant::I4(0));
  Call(*refused, "GetHostNameFromIP", {Text(u"192.0.2.5")});
  EXPECT_EQ(refused_sink->events, (std::vector<Event>{{u"192.0.2.5", u"", 3}}));
  EXPECT_FALSE(Busy(*refused));
}

TEST_F(IPInfoHostName, AnswersArriveLaterFromTheLoop) {
  std::shared_ptr<HostNameSink> sink;
  auto info = NewIPInfo(&sink);
  ASSERT_EQ(Call(*info, "EnableHostNameData"), Variant::I4(0));

  struct Case {
    std::u16string ip;
    Event expected;
  };
  const std::vector<Case> cases = {
      {u"192.0.2.5", {u"192.0.2.5", u"host-5.example.test", 0}},
      {u"127.1", {u"127.1", u"loopback.example.test", 0}},  // the short form names 127.0.0.1
      {u"192.0.2.6", {u"192.0.2.6", u"", 4}},                // NXDOMAIN
      {u"192.0.2.7", {u"192.0.2.7", u"", 4}},                // an answer cut short
  };
  for (const Case& c : cases) {
    sink->events.clear();
    Call(*info, "GetHostNameFromIP", {Text(c.ip)});
    EXPECT_TRUE(sink->events.empty()) << "reported inside the call";
    EXPECT_TRUE(Busy(*info));
    ASSERT_TRUE(RunUntil(loop_, [&] { return !sink->events.empty(); }, 5s));
    EXPECT_EQ(sink->events, std::vector<Event>{c.expected});
    EXPECT_FALSE(Busy(*info));
  }
  EXPECT_EQ(sink->malformed, 0);
}

TEST_F(IPInfoHostName, SilentServerTimesOutAndLateAnswersStaySilent) {
  std::shared_ptr<HostNameSink> sink;
  auto info = NewIPInfo(&sink);
  Call(*info, "EnableHostNameData");
  Put(*info, "TimeOut", Variant::I4(1000));

  auto started = std::chrono::steady_clock::now();
  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.9")});
  ASSERT_TRUE(RunUntil(loop_, [&] { return !sink->events.empty(); }, 5s));
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 950ms);
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(sink->events, (std::vector<Event>{{u"192.0.2.9", u"", 5}}));
  EXPECT_FALSE(Busy(*info));

  // An answer that comes after the time-out is not reported a second time.
  dns_.Answer("192.0.2.10", {DnsStub::Reply::kName, "late.example.test", 1500ms});
  sink->events.clear();
  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.10")});
  ASSERT_TRUE(RunUntil(loop_, [&] { return !sink->events.empty(); }, 5s));
  RunFor(loop_, 1000ms);
  EXPECT_EQ(sink->events, (std::vector<Event>{{u"192.0.2.10", u"", 5}}));
  // The first try, and at most the resolver's own retry after its one second.
  EXPECT_LE(dns_.queries_for("192.0.2.10"), 2);
}

TEST_F(IPInfoHostName, SupersededRequestStaysSilent) {
  std::shared_ptr<HostNameSink> sink;
  auto info = NewIPInfo(&sink);
  Call(*info, "EnableHostNameData");
  dns_.Answer("192.0.2.11", {DnsStub::Reply::kName, "first.example.test", 300ms});
  dns_.Answer("192.0.2.12", {DnsStub::Reply::kName, "second.example.test", 100ms});

  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.11")});
  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.12")});
  RunFor(loop_, 800ms);
  EXPECT_EQ(sink->events, (std::vector<Event>{{u"192.0.2.12", u"second.example.test", 0}}));
  EXPECT_EQ(dns_.queries_for("192.0.2.11"), 1);

  // An invalid address supersedes a pending lookup as well.
  sink->events.clear();
  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.11")});
  Call(*info, "GetHostNameFromIP", {Text(u"abc")});
  RunFor(loop_, 800ms);
  EXPECT_EQ(sink->events, (std::vector<Event>{{u"abc", u"", 2}}));
}

TEST_F(IPInfoHostName, HandlerSeesBusyAndMayChainTheNextLookup) {
  std::shared_ptr<HostNameSink> sink;
  auto info = NewIPInfo(&sink);
  Call(*info, "EnableHostNameData");
  std::vector<bool> busy_inside;
  sink->on_event = [&](const Event& event) {
    busy_inside.push_back(Busy(*info));
    if (event.ip == u"192.0.2.5") Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.6")});
  };

  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.5")});
  ASSERT_TRUE(RunUntil(loop_, [&] { return sink->events.size() == 1; }, 5s));
  EXPECT_TRUE(Busy(*info)) << "the chained lookup is still under way";
  ASSERT_TRUE(RunUntil(loop_, [&] { return sink->events.size() == 2; }, 5s));
  EXPECT_EQ(sink->events[1], (Event{u"192.0.2.6", u"", 4}));
  EXPECT_EQ(busy_inside, (std::vector<bool>{true, true}));
  EXPECT_FALSE(Busy(*info));
}

TEST_F(IPInfoHostName, ObjectsOfOneConnectionShareOneEngine) {
  std::shared_ptr<HostNameSink> sink_a, sink_b, sink_elsewhere;
  auto a = NewIPInfo(&sink_a);
  auto b = NewIPInfo(&sink_b);
  ClientScope elsewhere(loop_);
  auto other_client = NewIPInfo(&sink_elsewhere, &elsewhere);

  // Started through one, lookups serve both, and both hear every result.
  ASSERT_EQ(Call(*a, "EnableHostNameData"), Variant::I4(0));
  Call(*b, "GetHostNameFromIP", {Text(u"192.0.2.5")});
  ASSERT_TRUE(RunUntil(loop_, [&] { return sink_a->events.size() == 1 && sink_b->events.size() == 1; }, 5s));
  EXPECT_EQ(sink_a->events[0], (Event{u"192.0.2.5", u"host-5.example.test", 0}));
  EXPECT_EQ(sink_b->events[0], sink_a->events[0]);
  EXPECT_FALSE(Busy(*b));
  EXPECT_TRUE(sink_elsewhere->events.empty()) << "another client's lookups are not seen";

  // Destroying one leaves the other's pending lookup and its reception alone.
  dns_.Answer("192.0.2.13", {DnsStub::Reply::kName, "kept.example.test", 200ms});
  Call(*a, "GetHostNameFromIP", {Text(u"192.0.2.13")});
  b.reset();
  ASSERT_TRUE(RunUntil(loop_, [&] { return sink_a->events.size() == 2; }, 5s));
  EXPECT_EQ(sink_a->events[1], (Event{u"192.0.2.13", u"kept.example.test", 0}));
  EXPECT_EQ(sink_b->events.size(), 1u);

  // With the last one gone the engine ends: a new IPInfo starts from scratch,
  // and the answer to a lookup left pending goes nowhere.
  Call(*a, "GetHostNameFromIP", {Text(u"192.0.2.13")});
  a.reset();
  std::shared_ptr<HostNameSink> sink_c;
  auto c = NewIPInfo(&sink_c);
  RunFor(loop_, 500ms);
  EXPECT_TRUE(sink_c->events.empty());
  Call(*c, "GetHostNameFromIP", {Text(u"192.0.2.5")});
  EXPECT_EQ(sink_c->events, (std::vector<Event>{{u"192.0.2.5", u"", 1}}));
}

TEST_F(IPInfoHostName, TimeOutValues) {
  // Through an engine of the test's own, so its time-out can be read back.
  auto engine = std::make_shared<LookupEngine>(loop_, [] { return nullptr; });
  auto info = CreateIPInfo(host_, engine);
  EXPECT_EQ(engine->time_out(), 5000);

  struct Case {
    Variant value;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {Variant::I4(30000), 30000},   {Variant::I4(90000), 60000},  {Text(u"abc"), 60000},
      {Variant::I4(-5), 60000},      {Text(u" 1500 "), 1500},      {Variant::R8(2500.5), 2500},
      {Variant::R8(1e12), 60000},    {Variant::Null(), 60000},     {Variant::R8(-1e12), 60000},
      {Variant::I4(0), 0},
  };
  for (const Case& c : cases) {
    Put(*info, "TimeOut", c.value);
    EXPECT_EQ(engine->time_out(), c.expected);
  }
}

TEST_F(IPInfoHostName, TimeOutZeroWaitsForTheResolverItself) {
  std::shared_ptr<HostNameSink> sink;
  auto info = NewIPInfo(&sink);
  Call(*info, "EnableHostNameData");
  Put(*info, "TimeOut", Variant::I4(0));
  Call(*info, "GetHostNameFromIP", {Text(u"192.0.2.9")});
  RunFor(loop_, 1500ms);
  EXPECT_TRUE(sink->events.empty());
  EXPECT_TRUE(Busy(*info));

  // c-ares gives up after its own attempts, which ends the lookup as a failure.
  ResolverSettings quick{dns_.server(), 200, 1};
  auto engine = std::make_shared<LookupEngine>(loop_, [&] { return MakeSystemReverseResolver(loop_, quick); });
  auto quick_info = CreateIPInfo(host_, engine);
  auto quick_sink = std::make_shared<HostNameSink>();
  quick_info->Events()->Advise(quick_sink);
  Call(*quick_info, "EnableHostNameData");
  Put(*quick_info, "TimeOut", Variant::I4(0));
  Call(*quick_info, "GetHostNameFromIP", {Text(u"192.0.2.9")});
  ASSERT_TRUE(RunUntil(loop_, [&] { return !quick_sink->events.empty(); }, 5s));
  EXPECT_EQ(quick_sink->events, (std::vector<Event>{{u"192.0.2.9", u"", 4}}));
}

// ---- The engine with a scripted resolver ----

class ScriptedResolver : public ReverseResolver {
 public:
  enum class Mode { kAnswerInside, kHold, kRefuse };
  explicit ScriptedResolver(Mode mode) : mode_(mode) {}
  bool Start(const std::array<uint8_t, 4>&, Done done) override {
    if (mode_ == Mode::kRefuse) return false;
    if (mode_ == Mode::kAnswerInside) done(true, "hosts-file.example.test");
    return true;
  }

 private:
  Mode mode_;
};

class IPLookupEngine : public ::testing::Test {
 protected:
  std::shared_ptr<LookupEngine> MakeEngine(ScriptedResolver::Mode mode) {
    auto engine = std::make_shared<LookupEngine>(loop_, [mode] { return std::make_unique<ScriptedResolver>(mode); });
    owner_ = std::make_shared<int>();
    engine->Subscribe(owner_, [this](const HostNameResult& r) { results_.push_back({r.ip, r.host, r.code}); });
    return engine;
  }

  asio::io_context loop_;
  std::shared_ptr<int> owner_;
  std::vector<Event> results_;
};

TEST_F(IPLookupEngine, AnswerGivenInsideTheResolverCallComesThroughTheLoop) {
  auto engine = MakeEngine(ScriptedResolver::Mode::kAnswerInside);
  std::u16string text;
  engine->StartUp(&text);
  engine->GetHostName(u"10.0.0.1");
  EXPECT_TRUE(results_.empty());
  EXPECT_NE(engine->request_handle(), 0);
  RunUntil(loop_, [&] { return !results_.empty(); }, 1s);
  EXPECT_EQ(results_, (std::vector<Event>{{u"10.0.0.1", u"hosts-file.example.test", 0}}));
  EXPECT_EQ(engine->request_handle(), 0);
}

TEST_F(IPLookupEngine, RefusedLookupIsCodeThree) {
  auto engine = MakeEngine(ScriptedResolver::Mode::kRefuse);
  std::u16string text;
  engine->StartUp(&text);
  engine->GetHostName(u"10.0.0.1");
  EXPECT_EQ(results_, (std::vector<Event>{{u"10.0.0.1", u"", 3}}));
  EXPECT_EQ(engine->request_handle(), 0);
}

TEST_F(IPLookupEngine, OnlyThePendingHandleCompletes) {
  auto engine = MakeEngine(ScriptedResolver::Mode::kHold);
  std::u16string text;
  engine->StartUp(&text);
  engine->GetHostName(u"10.0.0.1");
  const int32_t first = engine->request_handle();
  engine->GetHostName(u"10.0.0.2");
  const int32_t second = engine->request_handle();
  ASSERT_NE(first, 0);
  ASSERT_NE(second, first);

  engine->Complete(first, true, "stale.example.test");
  engine->Complete(second + 100, true, "foreign.example.test");
  engine->Complete(0, true, "nobody.example.test");
  EXPECT_TRUE(results_.empty());
  EXPECT_EQ(engine->request_handle(), second);

  engine->Complete(second, true, "wanted.example.test");
  EXPECT_EQ(results_, (std::vector<Event>{{u"10.0.0.2", u"wanted.example.test", 0}}));
  engine->Complete(second, true, "twice.example.test");
  EXPECT_EQ(results_.size(), 1u);
}

TEST_F(IPLookupEngine, CloseDownStopsLookupsUntilTheNextStartUp) {
  auto engine = MakeEngine(ScriptedResolver::Mode::kHold);
  std::u16string text = u"stale";
  EXPECT_EQ(engine->StartUp(&text), 0);
  EXPECT_EQ(text, u"");
  engine->CloseDown();
  engine->GetHostName(u"10.0.0.1");
  EXPECT_EQ(results_, (std::vector<Event>{{u"10.0.0.1", u"", 1}}));
  engine->StartUp(&text);
  engine->GetHostName(u"10.0.0.1");
  EXPECT_NE(engine->request_handle(), 0);
}

TEST(IPHostNameText, NameEndsAtNulAndAfter255Bytes) {
  EXPECT_EQ(HostNameFromEntry(std::string("mail.example.test\0garbage", 25)), u"mail.example.test");
  EXPECT_EQ(HostNameFromEntry(std::string(255, 'a')), std::u16string(255, u'a'));
  EXPECT_EQ(HostNameFromEntry(std::string(300, 'b')), std::u16string(255, u'b'));
  EXPECT_EQ(HostNameFromEntry("caf\xE9.example"), u"caf\u00E9.example");  // the ANSI code page
  EXPECT_EQ(HostNameFromEntry(""), u"");
}

TEST(IPv4Text, ReadAsInetAddrReadsIt) {
  EXPECT_EQ(ParseIPv4Text(u"192.0.2.5"), 0xC0000205u);
  EXPECT_EQ(ParseIPv4Text(u"127.1"), 0x7F000001u);
  EXPECT_EQ(ParseIPv4Text(u"0x7f.1"), 0x7F000001u);
  EXPECT_EQ(ParseIPv4Text(u"010.0.0.1"), 0x08000001u);  // octal
  EXPECT_EQ(ParseIPv4Text(u"1.2.3.4 and more"), 0x01020304u);
  EXPECT_EQ(ParseIPv4Text(std::u16string(u"1.2.3.4\0.5", 10)), 0x01020304u);
  EXPECT_EQ(ParseIPv4Text(u"0.0.0.0"), 0u);
  for (const char16_t* bad : {u"255.255.255.255", u"abc", u"", u" 1.2.3.4", u"1.2.3.4.5", u"256.1.1.1",
                              u"1.2.3.", u"\u0661.2.3.4"}) {
    EXPECT_FALSE(ParseIPv4Text(bad).has_value()) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  }
}

}  // namespace
}  // namespace quillon

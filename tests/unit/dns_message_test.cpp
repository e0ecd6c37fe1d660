// The DNS codec on replies no stub server sends: forged headers and questions,
// error codes, truncation, CNAME chains, compression pointers that loop or
// leave the message; and the server list's text form. Plain replies are
// covered end to end by the resolver tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dns/dns_message.h"
#include "platform/dns/udp_dns_client.h"

namespace quillon::dns {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Name(const std::string& dotted) {
  Bytes wire;
  size_t start = 0;
  for (size_t dot; !dotted.empty(); start = dot + 1) {
    dot = std::min(dotted.find('.', start), dotted.size());
    wire.push_back(static_cast<uint8_t>(dot - start));
    wire.insert(wire.end(), dotted.begin() + static_cast<ptrdiff_t>(start), dotted.begin() + static_cast<ptrdiff_t>(dot));
    if (dot == dotted.size()) break;
  }
  wire.push_back(0);
  return wire;
}

Bytes Pointer(size_t offset) { return {static_cast<uint8_t>(0xC0 | offset >> 8), static_cast<uint8_t>(offset)}; }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr uint16_t kId = 0x1234;
constexpr size_t kQuestionName = 12;  // where the question's name starts

// A reply as a server (or a forger) might send it: the query turned round,
// then answers appended raw.
struct ReplyBuilder {
  explicit ReplyBuilder(const Question& question) : bytes(BuildQuery(kId, question)) { bytes[2] |= 0x80; }

  ReplyBuilder& Answer(const Bytes& owner, uint16_t type, const Bytes& data) {
    bytes = bytes + owner + Bytes{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1, 0, 0, 0, 60,
                                  static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())} + data;
    ++bytes[7];
    return *this;
  }
  Bytes bytes;
};

const Question kFiles{"files.test", kTypeA};

TEST(DnsReply, OnlyTheReplyToTheQueryIsOurs) {
  const Bytes good = ReplyBuilder(kFiles).Answer(Pointer(kQuestionName), kTypeA, {10, 0, 0, 1}).bytes;
  const Reply reply = ParseReply(good, kId, kFiles);
  ASSERT_EQ(reply.outcome, Outcome::kAnswer);
  EXPECT_EQ(reply.addresses, (std::vector<Ipv4>{{10, 0, 0, 1}}));

  struct Case {
    const char* what;
    void (*change)(Bytes&);
    Outcome expected;
  };
  const Case cases[] = {
      {"another id", [](Bytes& b) { b[1] ^= 1; }, Outcome::kNotOurs},
      {"a query, not a reply", [](Bytes& b) { b[2] &= 0x7F; }, Outcome::kNotOurs},
      {"another opcode", [](Bytes& b) { b[2] |= 0x10; }, Outcome::kNotOurs},
      {"no question", [](Bytes& b) { b[5] = 0; }, Outcome::kNotOurs},
      {"another name", [](Bytes& b) { b[kQuestionName + 1] = 'x'; }, Outcome::kNotOurs},
      {"another type", [](Bytes& b) { b[kQuestionName + 13] = kTypePtr; }, Outcome::kNotOurs},
      {"another class", [](Bytes& b) { b[kQuestionName + 15] = 3; }, Outcome::kNotOurs},
      {"the name in capitals", [](Bytes& b) { b[kQuestionName + 1] = 'F'; }, Outcome::kAnswer},
  };
  for (const Case& c : cases) {
    Bytes changed = good;
    c.change(changed);
    EXPECT_EQ(ParseReply(changed, kId, kFiles).outcome, c.expected) << c.what;
  }

  // Cut anywhere, it is never taken for an answer (nor read beyond its end).
  for (size_t size = 0; size < good.size(); ++size) {
    const Outcome outcome = ParseReply(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(size)), kId, kFiles).outcome;
    EXPECT_TRUE(outcome == Outcome::kNotOurs || outcome == Outcome::kMalformed) << size;
  }
}

TEST(DnsReply, ErrorCodesAndTruncation) {
  const Bytes empty = ReplyBuilder(kFiles).bytes;
  EXPECT_EQ(ParseReply(empty, kId, kFiles).outcome, Outcome::kNoData);
  const std::pair<uint8_t, Outcome> codes[] = {{1, Outcome::kFailure},       {2, Outcome::kServerFailure},
                                               {3, Outcome::kNoSuchName},    {4, Outcome::kServerFailure},
                                               {5, Outcome::kServerFailure}, {9, Outcome::kFailure}};
  for (const auto& [rcode, expected] : codes) {
    Bytes reply = empty;
    reply[3] |= rcode;
    EXPECT_EQ(ParseReply(reply, kId, kFiles).outcome, expected) << int{rcode};
  }
  Bytes truncated = ReplyBuilder(kFiles).Answer(Pointer(kQuestionName), kTypeA, {10, 0, 0, 1}).bytes;
  truncated[2] |= 0x02;
  EXPECT_EQ(ParseReply(truncated, kId, kFiles).outcome, Outcome::kTruncated);
}

TEST(DnsReply, CnameChainsLeadToTheAddresses) {
  // files.test -> a.test -> b.test, answers out of order, and an address of a
  // name off the chain that must not be taken.
  ReplyBuilder builder(kFiles);
  builder.Answer(Name("other.test"), kTypeA, {10, 9, 9, 9});
  const size_t b_name = builder.bytes.size();
  builder.Answer(Name("b.test"), kTypeA, {10, 0, 0, 2});
  builder.Answer(Pointer(b_name), kTypeA, {10, 0, 0, 3});
  builder.Answer(Name("a.test"), kTypeCname, Name("B.test"));
  builder.Answer(Pointer(kQuestionName), kTypeCname, Name("a.test"));
  const Reply reply = ParseReply(builder.bytes, kId, kFiles);
  ASSERT_EQ(reply.outcome, Outcome::kAnswer);
  EXPECT_EQ(reply.addresses, (std::vector<Ipv4>{{10, 0, 0, 2}, {10, 0, 0, 3}}));

  EXPECT_EQ(ParseReply(ReplyBuilder(kFiles).Answer(Pointer(kQuestionName), kTypeCname, Name("a.test")).bytes, kId,
                       kFiles).outcome, Outcome::kNoData);
  const Bytes loop = ReplyBuilder(kFiles)
                         .Answer(Pointer(kQuestionName), kTypeCname, Name("a.test"))
                         .Answer(Name("a.test"), kTypeCname, Name("files.test"))
                         .bytes;
  EXPECT_EQ(ParseReply(loop, kId, kFiles).outcome, Outcome::kMalformed);

  // Sixteen aliases are followed; a seventeenth is one too many.
  for (int length : {16, 17}) {
    auto alias = [](int i) { return Name(std::string(1, 'n').append(std::to_string(i)).append(".test")); };
    ReplyBuilder chain(kFiles);
    chain.Answer(Pointer(kQuestionName), kTypeCname, alias(1));
    for (int i = 1; i < length; ++i) chain.Answer(alias(i), kTypeCname, alias(i + 1));
    chain.Answer(alias(length), kTypeA, {10, 0, 0, 4});
    EXPECT_EQ(ParseReply(chain.bytes, kId, kFiles).outcome, length == 16 ? Outcome::kAnswer : Outcome::kMalformed);
  }
}

TEST(DnsReply, CompressionPointersStayInsideAndEnd) {
  const Bytes header = ReplyBuilder(kFiles).bytes;
  const size_t answer = header.size();
  struct Case {
    const char* what;
    Bytes owner;
    Bytes data;
  };
  const Case cases[] = {
      {"a pointer to itself", Pointer(answer), {10, 0, 0, 1}},
      {"two pointers to each other", Pointer(answer + 2) + Pointer(answer), {10, 0, 0, 1}},
      {"a pointer past the end", Pointer(answer + 400), {10, 0, 0, 1}},
      {"a label type nobody sends", Bytes{0x41, 'x', 0}, {10, 0, 0, 1}},
      {"an address of three bytes", Pointer(kQuestionName), {10, 0, 1}},
  };
  for (const Case& c : cases) {
    Bytes reply = ReplyBuilder(kFiles).Answer(c.owner, kTypeA, c.data).bytes;
    EXPECT_EQ(ParseReply(reply, kId, kFiles).outcome, Outcome::kMalformed) << c.what;
  }
  // A CNAME whose name runs on past its record.
  Bytes overrun = ReplyBuilder(kFiles).Answer(Pointer(kQuestionName), kTypeCname, Name("a.test")).bytes;
  overrun[overrun.size() - Name("a.test").size() - 1] -= 2;
  EXPECT_EQ(ParseReply(overrun, kId, kFiles).outcome, Outcome::kMalformed);
}

TEST(DnsReply, PtrNamesAreHostNames) {
  const Question question = ReverseQuestion({192, 0, 2, 5});
  EXPECT_EQ(question.name, "5.2.0.192.in-addr.arpa");
  // The name's tail taken by pointer from the question; letters keep their case.
  const Bytes compressed = ReplyBuilder(question).Answer(Pointer(kQuestionName), kTypePtr,
                                                         Bytes{4, 'M', 'a', 'i', 'l'} + Pointer(kQuestionName + 10)).bytes;
  const Reply reply = ParseReply(compressed, kId, question);
  ASSERT_EQ(reply.outcome, Outcome::kAnswer);
  EXPECT_EQ(reply.name, "Mail.in-addr.arpa");
  EXPECT_EQ(ParseReply(ReplyBuilder(question).Answer(Pointer(kQuestionName), kTypePtr, {0}).bytes, kId, question).name,
            "");
  // A '.' inside a label would read as two labels once written as text.
  const Bytes inner_dot = ReplyBuilder(question).Answer(Pointer(kQuestionName), kTypePtr, {3, 'a', '.', 'b', 0}).bytes;
  EXPECT_EQ(ParseReply(inner_dot, kId, question).outcome, Outcome::kMalformed);
}

TEST(DnsQuery, NamesThatCannotBeAsked) {
  const std::string label63(63, 'a');
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');  // 253
  for (const std::string& name : {std::string("x"), label63 + ".test", longest, longest + "."}) {
    EXPECT_FALSE(BuildQuery(1, {name, kTypeA}).empty()) << name.size();
  }
  for (const std::string& name : {std::string(), std::string("."), std::string("a..b"), std::string(".a"),
                                  label63 + "a.test", longest + "b"}) {
    EXPECT_TRUE(BuildQuery(1, {name, kTypeA}).empty()) << name;
  }
  EXPECT_EQ(BuildQuery(7, {"files.test.", kTypeA}), BuildQuery(7, kFiles));
}

TEST(DnsServerList, ReadsOnlyItsOwnForm) {
  std::vector<Server> servers;
  ASSERT_TRUE(ParseServerList("127.0.0.1:5353,10.0.0.1,192.168.001.002:00053", &servers).ok());
  EXPECT_EQ(servers, (std::vector<Server>{{{127, 0, 0, 1}, 5353}, {{10, 0, 0, 1}, 53}, {{192, 168, 1, 2}, 53}}));

  for (const char* bad : {"", "not-a-server", " 127.0.0.1:53", "127.0.0.1:53 ", "127.0.0.1:53,", ",127.0.0.1:53",
                          "127.0.0.1:53,,10.0.0.1:53", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                          "127.0.0.1:100000", "127.0.0.1:5x", "127.0.0.1:53:54", "127.1:53", "256.0.0.1:53",
                          "0x7f.0.0.1:53", "1.2.3.4.5:53", "[::1]:53", "localhost:53"}) {
    servers = {Server{}};
    const Status status = ParseServerList(bad, &servers);
    EXPECT_FALSE(status.ok()) << bad;
    EXPECT_TRUE(servers.empty()) << bad;
  }
}

}  // namespace
}  // namespace quillon::dns

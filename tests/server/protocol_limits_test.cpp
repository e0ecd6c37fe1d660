// Limits that keep hostile messages from costing the server its stack.
#include <gtest/gtest.h>

#include <string>

#include "server/protocol.h"

namespace quillon::server {
namespace {

std::string Nested(size_t depth, char open = '[', char close = ']') {
  return std::string(depth, open) + std::string(depth, close);
}

TEST(JsonNestingTest, CountsArraysAndObjectsUpToTheLimit) {
  EXPECT_TRUE(JsonNestsWithin(Nested(kMaxJsonNesting)));
  EXPECT_FALSE(JsonNestsWithin(Nested(kMaxJsonNesting + 1)));
  EXPECT_FALSE(JsonNestsWithin(R"({"a":{"b":[[)" + Nested(kMaxJsonNesting) + "]]}}"));
  // Depth is how far it nests, not how many brackets there are.
  std::string wide;
  for (int i = 0; i < 10000; ++i) wide += "[[]],";
  EXPECT_TRUE(JsonNestsWithin("[" + wide + "[]]", 3));
  // A message nested a hundred thousand deep, once enough to overflow the stack.
  EXPECT_FALSE(JsonNestsWithin(R"({"jsonrpc":"2.0","id":)" + Nested(100000) + "}"));
}

TEST(JsonNestingTest, BracketsInsideStringsDoNotCount) {
  const std::string brackets(5000, '[');
  EXPECT_TRUE(JsonNestsWithin(R"({"value":")" + brackets + R"("})", 2));
  // An escaped quote does not end the string; an escaped backslash does not escape the quote after it.
  EXPECT_TRUE(JsonNestsWithin(R"(["a\"[[[[", "b"])", 1));
  EXPECT_FALSE(JsonNestsWithin(R"(["a\\", [[[]]]])", 3));
  EXPECT_TRUE(JsonNestsWithin(R"(["a\\", [[[]]]])", 4));
}

// What each envelope comes to: the kind, and for a rejection the error code (0:
// no answer at all) and whether the answer goes back under the message's id.
TEST(RpcMessageTest, EveryEnvelopeComesToOneKind) {
  using Kind = RpcMessage::Kind;
  struct Case {
    const char* body;
    Kind kind;
    int code;
    bool under_its_id;
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"typelib"})", Kind::kRequest, 0, true},
      {R"({"jsonrpc":"2.0","id":"x","method":"a","params":{"k":1}})", Kind::kRequest, 0, true},
      {R"({"jsonrpc":"2.0","method":"release","params":{}})", Kind::kNotification, 0, false},
      {R"({"jsonrpc":"2.0","id":7,"result":null})", Kind::kAnswer, 0, true},
      {R"({"jsonrpc":"2.0","id":7,"error":{}})", Kind::kAnswer, 0, true},
      {R"({"jsonrpc":"2.0","id":"7","result":1})", Kind::kRejected, 0, false},  // no event has that id
      {R"({"jsonrpc":"2.0","method":"a","params":[]})", Kind::kRejected, 0, false},
      {R"({"jsonrpc":"2.0","id":2,"method":"a","params":[]})", Kind::kRejected, rpc::kInvalidParams, true},
      {R"({"jsonrpc":"2.0","id":2,"method":5})", Kind::kRejected, rpc::kInvalidRequest, true},
      {R"({"jsonrpc":"1.0","id":2,"method":"a"})", Kind::kRejected, rpc::kInvalidRequest, true},
      {R"({"jsonrpc":"2.0","id":2})", Kind::kRejected, rpc::kInvalidRequest, true},
      {R"({"jsonrpc":"2.0","id":1.5,"method":"a"})", Kind::kRejected, rpc::kInvalidRequest, false},
      {R"([{"jsonrpc":"2.0","id":1,"method":"a"}])", Kind::kRejected, rpc::kInvalidRequest, false},
      {R"("just text")", Kind::kRejected, rpc::kInvalidRequest, false},
      {R"({"jsonrpc":"2.0",)", Kind::kRejected, rpc::kParseError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const RpcMessage message = ParseRpcMessage(c.body);
    EXPECT_EQ(message.kind, c.kind);
    EXPECT_EQ(message.error ? message.error->code : 0, c.code);
    if (c.kind == Kind::kRejected && c.code != 0) {
      EXPECT_EQ(!message.id.is_null(), c.under_its_id);
    }
  }
  EXPECT_EQ(ParseRpcMessage(R"({"jsonrpc":"2.0","id":3,"method":"m"})").params, Json::object());
  EXPECT_EQ(ParseRpcMessage("{\"id\":" + Nested(kMaxJsonNesting + 1) + "}").error->code, rpc::kParseError);
}

}  // namespace
}  // namespace quillon::server

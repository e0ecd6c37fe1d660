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

}  // namespace
}  // namespace quillon::server

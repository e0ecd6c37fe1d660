#include "server/json_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quillon::server {
namespace {

using Json = nlohmann::json;

// The writer must say exactly what the library says, byte for byte: clients
// parse either, and logs and tests compare the text.
std::string Library(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

TEST(JsonWriterTest, WritesEveryKindOfValueAsTheLibraryDoes) {
  const Json message = Json::parse(R"({
    "jsonrpc": "2.0", "id": 18446744073709551615, "neg": -9223372036854775808,
    "result": {"value": {"vt": 5, "value": 0.1}, "refs": [{"vt": 11, "value": true}, null, [], {}],
               "big": 1e300, "small": -2.5e-300, "zero": -0.0, "int": 42},
    "text": "tab\there \"quoted\" back\\slash /slash \u007f \u00e9\u20ac\ud83d\ude00"
  })");
  EXPECT_EQ(DumpJson(message), Library(message));
}

TEST(JsonWriterTest, EscapesEveryControlCharacterAsTheLibraryDoes) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
  const Json value = {{"all", all}, {all, 1}};
  EXPECT_EQ(DumpJson(value), Library(value));
}

TEST(JsonWriterTest, ReplacesMalformedUtf8AsTheLibraryDoes) {
  for (const std::string bad : {"a\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "cut \xe2\x82", "\x80"}) {
    const Json value = {{"value", bad}, {bad, bad}};
    EXPECT_EQ(DumpJson(value), Library(value)) << bad;
  }
}

TEST(JsonWriterTest, AgreesWithTheLibraryOnRandomText) {
  std::mt19937 random(5);
  for (int round = 0; round < 1000; ++round) {
    std::string text(random() % 200, '\0');
    // Mostly printable, with control characters, quotes and high bytes mixed in;
    // in every other round they are rare, so long plain runs come between them.
    const unsigned spread = round % 2 == 0 ? 10 : 200;
    for (char& c : text) {
      const unsigned pick = random() % spread;
      c = static_cast<char>(pick >= 4 ? 0x20 + random() % 0x5F : pick < 2 ? random() % 0x20 : 0x80 + random() % 0x80);
    }
    const Json value = Json::array({text, {{"k", text}}});
    ASSERT_EQ(DumpJson(value), Library(value)) << round;
  }
}

TEST(JsonWriterTest, WritesAResponseAsTheLibraryWritesTheBuiltOne) {
  const Json result = Json::parse(R"({"value": {"vt": 8, "value": "t\u00e9xt \"q\""}, "refs": [{"vt": 3, "value": -7}]})");
  for (const Json& id : {Json(0), Json(-12), Json(18446744073709551615u), Json("seven"), Json(nullptr)}) {
    const Json built = {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
    EXPECT_EQ(DumpResponse(id, result), Library(built)) << id;
  }
}

}  // namespace
}  // namespace quillon::server

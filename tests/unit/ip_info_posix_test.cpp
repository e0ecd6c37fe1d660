// The address parser held to the POSIX C library's inet_aton, which Windows
// lacks.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/ipv4_text.h"

namespace quillon {
namespace {

// The parser is the project's own so that every platform reads addresses
// alike; the C library's inet_aton is the oracle on this one.
TEST(IPv4Text, AgreesWithInetAton) {
  std::mt19937 random(7);
  const std::string alphabet = "0123456789abcdefxX.. \t+-";
  std::vector<std::string> texts = {"4294967295", "4294967296", "0xffffffff", "0x100000000", "1.16777215",
                                    "1.16777216", "1.2.65535", "1.2.65536", "0x", "0x.1", "00.1", "1..2",
                                    "99999999999999999999", "0x00000000000000001", "1.2.3.4\tx", "1 2"};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = random() % 14; n > 0; --n) text += alphabet[random() % alphabet.size()];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    in_addr address{};
    std::optional<uint32_t> expected;
    if (inet_aton(text.c_str(), &address) != 0) expected = ntohl(address.s_addr);
    if (expected == 0xFFFFFFFFu) expected.reset();
    EXPECT_EQ(ParseIPv4Text(std::u16string(text.begin(), text.end())), expected) << text;
  }
}

}  // namespace
}  // namespace quillon

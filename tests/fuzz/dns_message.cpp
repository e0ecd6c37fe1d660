// A datagram as the UDP DNS client meets it: any bytes from a server's address,
// read against the query the client sent. The question comes first in the
// input (a bit for A or PTR, the id, then the name or the address), so
// mutations of a seed keep matching it and reach the records.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/dns/dns_message.h"

using namespace quillon;
using namespace quillon::dns;

namespace {

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '/' || c == '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const bool reverse = input.Bit();
  const uint16_t id = input.U16();
  Question question;
  if (reverse) {
    Ipv4 address;
    for (uint8_t& byte : address) byte = input.Byte();
    question = ReverseQuestion(address);
  } else {
    question = {std::string(fuzz::Chars(input.Piece(255))), kTypeA};
  }
  const std::span<const uint8_t> message = input.Rest();

  // What BuildQuery writes ParseReply reads: the query turned round is an
  // empty answer to itself, and to no other id.
  std::vector<uint8_t> query = BuildQuery(id, question);
  if (!query.empty()) {
    FUZZ_CHECK(query.size() <= 12 + 255 + 4);
    query[2] |= 0x80;
    FUZZ_CHECK(ParseReply(query, id, question).outcome == Outcome::kNoData);
    FUZZ_CHECK(ParseReply(query, static_cast<uint16_t>(id + 1), question).outcome == Outcome::kNotOurs);
  }

  const Reply reply = ParseReply(message, id, question);
  FUZZ_CHECK(reply.outcome != Outcome::kNoAnswer);
  if (query.empty()) FUZZ_CHECK(reply.outcome == Outcome::kNotOurs);
  if (reply.outcome != Outcome::kNotOurs) {
    FUZZ_CHECK(message.size() >= 12 && message[0] == (id >> 8) && message[1] == (id & 0xFF));
    FUZZ_CHECK((message[2] & 0x80) != 0);
  }
  if (reply.outcome != Outcome::kAnswer) {
    FUZZ_CHECK(reply.addresses.empty() && reply.name.empty());
  } else if (reverse) {
    FUZZ_CHECK(reply.addresses.empty() && reply.name.size() <= 253);
    FUZZ_CHECK(std::all_of(reply.name.begin(), reply.name.end(), IsHostNameChar));
  } else {
    // Each address is a record of its own: an owner of a byte at least (the
    // root, at the end of a CNAME), ten bytes, four of data.
    FUZZ_CHECK(!reply.addresses.empty() && reply.name.empty());
    FUZZ_CHECK(reply.addresses.size() * 15 <= message.size());
  }
  return 0;
}

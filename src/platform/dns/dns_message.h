// DNS messages as the UDP client sends and reads them: a query with one
// question, and the reply to it reduced to what a lookup needs. Pure (no I/O,
// no state), so every platform and the fuzz target share the same code.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillon::dns {

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeCname = 5;
inline constexpr uint16_t kTypePtr = 12;

// An IPv4 address, most significant byte first.
using Ipv4 = std::array<uint8_t, 4>;

struct Question {
  std::string name;  // dotted: "files.test", "5.2.0.192.in-addr.arpa"
  uint16_t type = kTypeA;  // kTypeA or kTypePtr
};

// The PTR question for an address: d.c.b.a.in-addr.arpa.
Question ReverseQuestion(const Ipv4& address);

// The query: `id`, recursion desired, the question in class IN. Empty when the
// name cannot be asked: empty, an empty label ("a..b"), a label over 63 bytes,
// or over 255 bytes in all. One trailing dot is allowed and changes nothing.
std::vector<uint8_t> BuildQuery(uint16_t id, const Question& question);

enum class Outcome : uint8_t {
  kAnswer,         // records of the type asked for, CNAMEs followed
  kNoData,         // the name exists without a record of that type
  kNoSuchName,     // NXDOMAIN
  kServerFailure,  // SERVFAIL, NOTIMP or REFUSED: another server may do better
  kFailure,        // any other error code
  kTruncated,      // TC: the answer did not fit the datagram
  kMalformed,      // a reply to the query whose records cannot be read
  kNotOurs,        // not a reply to this query: to be ignored
  kNoAnswer,       // (the client's) no server gave a reply within its attempts
};

struct Reply {
  Outcome outcome = Outcome::kNotOurs;
  std::vector<Ipv4> addresses;  // kAnswer to an A question, in the reply's order
  std::string name;             // kAnswer to a PTR question: the first name, dotted ("" for the root)
};

// Reads `message` as the reply to BuildQuery(id, question). It is ours only when
// the id, the QR bit, the opcode and the one question (name in any case, type,
// class) match. A PTR name must be a host name: letters, digits, '-', '_' and
// '/' in its labels, or the reply is malformed. Never reads outside `message`;
// compression pointers and CNAME chains are followed a bounded number of times.
Reply ParseReply(std::span<const uint8_t> message, uint16_t id, const Question& question);

}  // namespace quillon::dns

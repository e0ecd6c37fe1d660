#include "platform/dns/dns_message.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace quillon::dns {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr uint16_t kClassIn = 1;
constexpr size_t kLongestLabel = 63;
constexpr size_t kLongestName = 255;  // in wire form, the root's zero included
// More than the 127 labels a name can have, so every real name decodes, while
// a pointer loop ends.
constexpr int kMostJumps = 128;
// CNAMEs followed from the question's name before the chain counts as broken.
constexpr int kMostAliases = 16;

uint16_t U16(std::span<const uint8_t> bytes, size_t at) { return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]); }

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

// The name in wire form (length-prefixed labels, then 0), uncompressed.
// Nothing when it cannot be sent.
std::optional<std::string> EncodeName(std::string_view dotted) {
  if (!dotted.empty() && dotted.back() == '.') dotted.remove_suffix(1);
  if (dotted.empty()) return std::nullopt;
  std::string wire;
  size_t start = 0;
  for (;;) {  // a label a pass, each past the last one's dot
    const size_t dot = std::min(dotted.find('.', start), dotted.size());
    const size_t length = dot - start;
    if (length == 0 || length > kLongestLabel) return std::nullopt;
    wire.push_back(static_cast<char>(length));
    wire.append(dotted.substr(start, length));
    if (dot == dotted.size()) break;
    start = dot + 1;
  }
  wire.push_back('\0');
  if (wire.size() > kLongestName) return std::nullopt;
  return wire;
}

// Reads the name at `at` into wire form, following compression pointers.
// `after` is where the name's bytes at `at` end. False for a name that runs
// past the message, is too long, loops, or uses a label type nobody sends.
bool ReadName(std::span<const uint8_t> message, size_t at, std::string* name, size_t* after) {
  name->clear();
  bool jumped = false;
  int jumps = 0;
  // Each pass adds a label (the name is bounded) or takes a jump (bounded).
  for (;;) {
    if (at >= message.size()) return false;
    const uint8_t length = message[at];
    if ((length & 0xC0) == 0xC0) {
      if (at + 1 >= message.size() || ++jumps > kMostJumps) return false;
      if (!jumped) *after = at + 2;
      jumped = true;
      at = static_cast<size_t>(length & 0x3F) << 8 | message[at + 1];
      continue;
    }
    if ((length & 0xC0) != 0) return false;
    if (message.size() - at - 1 < length) return false;
    name->push_back(static_cast<char>(length));
    name->append(reinterpret_cast<const char*>(message.data() + at + 1), length);
    if (name->size() > kLongestName) return false;
    if (length == 0) {
      if (!jumped) *after = at + 1;
      return true;
    }
    at += 1 + length;
  }
}

// Names compare without regard to ASCII case; the length bytes (at most 63)
// are no letters, so folding the whole wire form is safe.
bool SameName(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return fold(x) == fold(y); });
}

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '/';
}

// A wire-form name as dotted text; nothing when a label holds a byte a host
// name cannot (a '.' inside a label among them, which text could not tell apart).
std::optional<std::string> HostNameText(std::string_view wire) {
  std::string text;
  for (size_t at = 0; at < wire.size() && wire[at] != '\0';) {
    const size_t length = static_cast<uint8_t>(wire[at]);
    const std::string_view label = wire.substr(at + 1, length);
    if (!std::all_of(label.begin(), label.end(), IsHostNameChar)) return std::nullopt;
    if (!text.empty()) text.push_back('.');
    text.append(label);
    at += 1 + length;
  }
  return text;
}

struct Record {
  std::string owner;  // wire form
  uint16_t type;
  size_t data;        // offset of the record data in the message
  size_t data_size;
};

}  // namespace

Question ReverseQuestion(const Ipv4& address) {
  std::string name;
  for (auto it = address.rbegin(); it != address.rend(); ++it) name += std::to_string(*it) + ".";
  return {name + "in-addr.arpa", kTypePtr};
}

std::vector<uint8_t> BuildQuery(uint16_t id, const Question& question) {
  const std::optional<std::string> name = EncodeName(question.name);
  if (!name) return {};
  std::vector<uint8_t> query;
  query.reserve(kHeaderSize + name->size() + 4);
  PutU16(query, id);
  PutU16(query, 0x0100);  // a standard query, recursion desired
  PutU16(query, 1);       // one question, no other records
  PutU16(query, 0);
  PutU16(query, 0);
  PutU16(query, 0);
  query.insert(query.end(), name->begin(), name->end());
  PutU16(query, question.type);
  PutU16(query, kClassIn);
  return query;
}

Reply ParseReply(std::span<const uint8_t> message, uint16_t id, const Question& question) {
  const std::optional<std::string> asked = EncodeName(question.name);
  if (!asked || message.size() < kHeaderSize || U16(message, 0) != id) return {};
  const uint8_t flags = message[2];
  const bool is_reply = (flags & 0x80) != 0;
  const bool standard_query = (flags & 0x78) == 0;
  if (!is_reply || !standard_query || U16(message, 4) != 1) return {};

  std::string name;
  size_t at = kHeaderSize;
  if (!ReadName(message, at, &name, &at) || message.size() - at < 4) return {};
  if (!SameName(name, *asked) || U16(message, at) != question.type || U16(message, at + 2) != kClassIn) return {};
  at += 4;

  if ((flags & 0x02) != 0) return {Outcome::kTruncated};
  switch (message[3] & 0x0F) {
    case 0:
      break;
    case 3:
      return {Outcome::kNoSuchName};
    case 2:  // SERVFAIL
    case 4:  // NOTIMP
    case 5:  // REFUSED
      return {Outcome::kServerFailure};
    default:
      return {Outcome::kFailure};
  }

  // Every answer must read, even those that are not needed: no record of a
  // reply broken anywhere is trusted.
  std::vector<Record> records;
  const uint16_t answers = U16(message, 6);
  for (uint16_t i = 0; i < answers; ++i) {
    Record record;
    if (!ReadName(message, at, &record.owner, &at) || message.size() - at < 10) return {Outcome::kMalformed};
    record.type = U16(message, at);
    const uint16_t record_class = U16(message, at + 2);
    record.data_size = U16(message, at + 8);
    record.data = at + 10;
    if (message.size() - record.data < record.data_size) return {Outcome::kMalformed};
    at = record.data + record.data_size;
    if (record_class != kClassIn) continue;
    if (record.type == kTypeA && record.data_size != 4) return {Outcome::kMalformed};
    if (record.type == kTypeCname || record.type == kTypePtr) {
      // The data is a name that must end inside the record.
      std::string target;
      size_t end = 0;
      if (!ReadName(message, record.data, &target, &end) || end > at) return {Outcome::kMalformed};
    }
    records.push_back(std::move(record));
  }

  // From the question's name along its CNAMEs to the records asked for.
  std::string current = *asked;
  for (int alias = 0; alias <= kMostAliases; ++alias) {
    Reply reply{Outcome::kAnswer};
    for (const Record& record : records) {
      if (record.type != question.type || !SameName(record.owner, current)) continue;
      if (question.type == kTypeA) {
        reply.addresses.push_back({message[record.data], message[record.data + 1], message[record.data + 2],
                                   message[record.data + 3]});
      } else {
        size_t end = 0;
        ReadName(message, record.data, &name, &end);  // read once already
        std::optional<std::string> text = HostNameText(name);
        if (!text) return {Outcome::kMalformed};
        reply.name = std::move(*text);
        return reply;
      }
    }
    if (!reply.addresses.empty()) return reply;

    auto alias_of = std::find_if(records.begin(), records.end(), [&](const Record& record) {
      return record.type == kTypeCname && SameName(record.owner, current);
    });
    if (alias_of == records.end()) return {Outcome::kNoData};
    size_t end = 0;
    ReadName(message, alias_of->data, &current, &end);  // read once already
  }
  return {Outcome::kMalformed};  // a chain too long, or one that loops
}

}  // namespace quillon::dns

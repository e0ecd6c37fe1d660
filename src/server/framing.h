// Frames on the wire: "Content-Length: N\r\n\r\n" followed by N bytes of UTF-8
// JSON, as language servers frame their messages. A frame may carry raw bytes
// after its JSON: "Quillon-Json-Length: J" then says the JSON is the body's first
// J bytes, and the rest is the attachment that byte arrays in the JSON point
// into, so bulk data need not travel as base64. Pure code, no I/O, so it can be
// fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::server {

inline constexpr size_t kDefaultMaxFrame = size_t{1} << 30;  // 1 GiB, both ways
// A header section longer than this is not a header a client would send.
inline constexpr size_t kMaxHeaderBytes = 4096;

struct FrameHeader {
  enum class Status { kIncomplete, kComplete, kMalformed };
  Status status = Status::kIncomplete;
  size_t header_size = 0;       // up to and including the blank line
  uint64_t content_length = 0;  // as declared; may exceed any limit
  uint64_t json_length = 0;     // the JSON's share of the body: all of it without an attachment
  std::string error;            // for kMalformed
};

// Parses the header section at the start of `data`. Lines are validated as soon
// as they are complete, so a peer that sends no header at all is caught at its
// first line rather than after kMaxHeaderBytes.
FrameHeader ParseFrameHeader(std::string_view data);

// The header that goes in front of a body of `json_size` bytes of JSON and
// `attachment_size` bytes of attachment.
std::string FramePrefix(size_t json_size, size_t attachment_size = 0);

// Splits a byte stream into frame bodies. The owner reads into Reserve()'s span,
// calls Commit() with what arrived and then takes frames with Next().
class FrameReader {
 public:
  explicit FrameReader(size_t max_body = kDefaultMaxFrame) : max_body_(max_body) {}

  struct Item {
    enum class Kind {
      kNone,       // nothing complete yet
      kFrame,      // `body` is valid until the next Reserve()
      kOversized,  // a frame over the limit: its body is being skipped unread
      kBroken,     // the header cannot be parsed; the stream cannot go on
    };
    Kind kind = Kind::kNone;
    std::string_view body;        // the JSON
    std::string_view attachment;  // the bytes after it (often none)
    uint64_t length = 0;          // for kOversized
    std::string error;    // for kBroken
  };

  // Room for at least `min_bytes` more; more while a large body arrives, so
  // the buffer doubles rather than growing by a read at a time.
  std::span<char> Reserve(size_t min_bytes);
  void Commit(size_t bytes);
  Item Next();

  size_t buffered() const { return end_ - begin_; }
  size_t max_body() const { return max_body_; }

 private:
  void Discard();

  size_t max_body_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t skip_ = 0;         // bytes of an oversized body still to drop
  size_t awaiting_ = 0;       // size of the frame whose header is in, body not
  bool broken_ = false;
};

}  // namespace quillon::server

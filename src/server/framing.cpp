#include "server/framing.h"

#include <algorithm>
#include <cstring>

#include "core/text.h"

namespace quillon::server {
namespace {

// Keeps a buffer that served one large frame from pinning its memory for good.
constexpr size_t kKeepCapacity = size_t{1} << 20;
constexpr size_t kReadAheadFloor = size_t{64} << 10;

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

FrameHeader Malformed(std::string error) {
  FrameHeader header;
  header.status = FrameHeader::Status::kMalformed;
  header.error = std::move(error);
  return header;
}

// A line still arriving can already be wrong: a name with characters no header
// name holds, or a bare line feed.
bool PartialLineCanStillBeValid(std::string_view partial) {
  if (partial.find('\n') != std::string_view::npos) return false;
  const size_t colon = partial.find(':');
  std::string_view name = partial.substr(0, colon);
  // Without a colon yet, a last '\r' may be the first half of the line end.
  if (colon == std::string_view::npos && !name.empty() && name.back() == '\r') name.remove_suffix(1);
  return std::all_of(name.begin(), name.end(), IsTokenChar);
}

// 19 digits always fit in 64 bits; anything longer is no length we could honour.
bool ParseLength(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 19 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint64_t>(c - '0');
  *out = value;
  return true;
}

}  // namespace

FrameHeader ParseFrameHeader(std::string_view data) {
  const std::string_view window = data.substr(0, kMaxHeaderBytes);
  bool have_length = false;
  uint64_t length = 0;
  bool have_json_length = false;
  uint64_t json_length = 0;
  size_t pos = 0;
  for (;;) {
    const size_t eol = window.find("\r\n", pos);
    if (eol == std::string_view::npos) {
      if (!PartialLineCanStillBeValid(window.substr(pos))) return Malformed("malformed header line");
      if (data.size() >= kMaxHeaderBytes) return Malformed("header section too long");
      return {};
    }
    const std::string_view line = window.substr(pos, eol - pos);
    pos = eol + 2;
    if (line.empty()) {
      if (!have_length) return Malformed("no Content-Length header");
      if (have_json_length && json_length > length) return Malformed("Quillon-Json-Length exceeds Content-Length");
      FrameHeader header;
      header.status = FrameHeader::Status::kComplete;
      header.header_size = pos;
      header.content_length = length;
      header.json_length = have_json_length ? json_length : length;
      return header;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return Malformed("malformed header line");
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) return Malformed("malformed header name");
    const std::string_view value = Trim(line.substr(colon + 1));
    if (value.find_first_of("\r\n") != std::string_view::npos) return Malformed("malformed header value");
    bool* seen = nullptr;
    uint64_t* number = nullptr;
    if (EqualsIgnoreCase(name, "Content-Length")) {
      seen = &have_length;
      number = &length;
    } else if (EqualsIgnoreCase(name, "Quillon-Json-Length")) {
      seen = &have_json_length;
      number = &json_length;
    } else {
      continue;  // Content-Type and the like
    }
    if (*seen) return Malformed("more than one " + std::string(name) + " header");
    if (!ParseLength(value, number)) return Malformed(std::string(name) + " is not a number");
    *seen = true;
  }
}

std::string FramePrefix(size_t json_size, size_t attachment_size) {
  std::string prefix = "Content-Length: " + std::to_string(json_size + attachment_size) + "\r\n";
  if (attachment_size > 0) prefix += "Quillon-Json-Length: " + std::to_string(json_size) + "\r\n";
  return prefix + "\r\n";
}

std::span<char> FrameReader::Reserve(size_t min_bytes) {
  if (begin_ == end_) {
    begin_ = end_ = 0;
    if (buffer_.size() > kKeepCapacity && awaiting_ == 0) buffer_ = std::vector<char>();
  }
  size_t want = min_bytes;
  if (awaiting_ > buffered()) {
    // Grow with what has arrived, not with what the header promises: a peer that
    // declares a large body and sends nothing costs nothing.
    want = std::max(want, std::min(awaiting_ - buffered(), std::max(buffered(), kReadAheadFloor)));
  }
  if (buffer_.size() - end_ < want) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, buffered());
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() - end_ < want) buffer_.resize(end_ + want);
  }
  return {buffer_.data() + end_, buffer_.size() - end_};
}

void FrameReader::Commit(size_t bytes) { end_ += std::min(bytes, buffer_.size() - end_); }

void FrameReader::Discard() {
  const size_t dropped = static_cast<size_t>(std::min<uint64_t>(skip_, buffered()));
  begin_ += dropped;
  skip_ -= dropped;
}

FrameReader::Item FrameReader::Next() {
  using Kind = Item::Kind;
  if (broken_) return {};
  Discard();
  if (skip_ > 0 || begin_ == end_) return {};
  const std::string_view data(buffer_.data() + begin_, buffered());
  const FrameHeader header = ParseFrameHeader(data);
  switch (header.status) {
    case FrameHeader::Status::kIncomplete:
      return {};
    case FrameHeader::Status::kMalformed:
      broken_ = true;
      return {Kind::kBroken, {}, {}, 0, header.error};
    case FrameHeader::Status::kComplete:
      break;
  }
  if (header.content_length > max_body_) {
    begin_ += header.header_size;
    skip_ = header.content_length;
    awaiting_ = 0;
    Discard();
    return {Kind::kOversized, {}, {}, header.content_length, {}};
  }
  const size_t frame_size = header.header_size + static_cast<size_t>(header.content_length);
  if (data.size() < frame_size) {
    awaiting_ = frame_size;
    return {};
  }
  awaiting_ = 0;
  begin_ += frame_size;
  const std::string_view body = data.substr(header.header_size, header.content_length);
  return {Kind::kFrame, body.substr(0, header.json_length), body.substr(header.json_length), 0, {}};
}

}  // namespace quillon::server

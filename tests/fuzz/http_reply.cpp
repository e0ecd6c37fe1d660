// A web server's reply as the engine meets it: blocks of any size, the header
// split off the first block long enough to hold one, ParseHeader, and the
// downloaded file as text.
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "core/text.h"
#include "http/http_protocol.h"

using namespace quillon;
using namespace quillon::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  // The first bytes choose how the reply is cut into reads, as a network would.
  uint8_t cuts[8];
  for (uint8_t& cut : cuts) cut = input.Byte();
  const std::span<const uint8_t> reply = input.Rest();

  ReplyFields fields;
  std::vector<std::vector<uint8_t>> blocks;
  size_t at = 0;
  for (size_t read = 0; at < reply.size(); ++read) {
    const uint8_t cut = cuts[read % 8];
    // Reads as the engine makes them: at most a block, never empty.
    const size_t length = std::min<size_t>({reply.size() - at, kReadBlockSize, cut == 0 ? kReadBlockSize : size_t{cut}});
    const std::span<const uint8_t> block = reply.subspan(at, length);
    const bool was_pending = fields.header_pending;
    const size_t first_file_byte = SplitHeader(block, fields);
    FUZZ_CHECK(first_file_byte <= block.size());
    if (!was_pending || block.size() <= kShortestHeaderBlock) FUZZ_CHECK(first_file_byte == 0);
    if (first_file_byte > 0) FUZZ_CHECK(fields.header.size() == first_file_byte);
    blocks.emplace_back(block.begin() + static_cast<ptrdiff_t>(first_file_byte), block.end());
    at += length;
  }

  // The joined text has CR LF line ends and nothing else that ends a line.
  const std::u16string text = JoinAsText(blocks);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r') FUZZ_CHECK(i + 1 < text.size() && text[i + 1] == u'\n');
    if (text[i] == u'\n') FUZZ_CHECK(i > 0 && text[i - 1] == u'\r');
  }

  // The whole reply at once, as a caller of ParseHeader might hand it over.
  ReplyFields whole;
  const std::u16string reply_text = AnsiToText(fuzz::Chars(reply));
  const int32_t header_length = ParseHeader(reply_text, whole);
  FUZZ_CHECK(header_length >= 0 && static_cast<size_t>(header_length) <= reply_text.size());
  if (header_length > 0) {
    FUZZ_CHECK(whole.header == reply_text.substr(0, static_cast<size_t>(header_length)));
    FUZZ_CHECK(whole.header.ends_with(u"\r\n\r\n"));
  }
  return 0;
}

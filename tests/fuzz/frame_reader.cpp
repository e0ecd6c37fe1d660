// The server's side of the wire framing: any byte stream, arriving in any cuts,
// against a small frame limit. Frames come out whole and in order, a declared
// length never costs memory before its bytes arrive, and a stream that cannot
// go on says so once and then stays quiet.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "server/framing.h"

using namespace quillon;
using namespace quillon::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const size_t max_body = 1 + input.U16() % 4096;
  uint8_t cuts[4];
  for (uint8_t& cut : cuts) cut = input.Byte();
  const std::string_view stream = fuzz::Chars(input.Rest());

  const FrameHeader alone = ParseFrameHeader(stream);
  if (alone.status == FrameHeader::Status::kComplete) {
    FUZZ_CHECK(alone.header_size >= 4 && alone.header_size <= stream.size());
    FUZZ_CHECK(stream.substr(alone.header_size - 4, 4) == "\r\n\r\n");
  }

  FrameReader reader(max_body);
  size_t fed = 0;
  size_t delivered = 0;  // header and body bytes of the frames taken so far
  bool broken = false;
  for (size_t turn = 0; fed < stream.size(); ++turn) {
    const size_t want = 1 + cuts[turn % 4] % 97;
    const std::span<char> room = reader.Reserve(want);
    FUZZ_CHECK(room.size() >= want);
    // Room grows with what has arrived, not with what a header promises.
    FUZZ_CHECK(room.size() <= std::max<size_t>(want, 2 * (fed + 1) + (size_t{64} << 10)));
    const size_t count = std::min(want, stream.size() - fed);
    std::memcpy(room.data(), stream.data() + fed, count);
    reader.Commit(count);
    fed += count;
    FUZZ_CHECK(reader.buffered() <= fed);
    for (int taken = 0; taken < 1000; ++taken) {
      const FrameReader::Item item = reader.Next();
      if (item.kind == FrameReader::Item::Kind::kNone) break;
      FUZZ_CHECK(!broken);
      if (item.kind == FrameReader::Item::Kind::kBroken) {
        FUZZ_CHECK(!item.error.empty());
        broken = true;
        break;
      }
      if (item.kind == FrameReader::Item::Kind::kOversized) {
        FUZZ_CHECK(item.length > max_body);
        continue;
      }
      const size_t frame_size = item.body.size() + item.attachment.size();
      FUZZ_CHECK(frame_size <= max_body);
      // JSON and attachment are the stream's own bytes, one after the other,
      // right after their header.
      FUZZ_CHECK(item.attachment.empty() || item.body.data() + item.body.size() == item.attachment.data());
      const size_t end = fed - reader.buffered();
      FUZZ_CHECK(end >= frame_size && end <= stream.size());
      FUZZ_CHECK(stream.substr(end - frame_size, item.body.size()) == item.body);
      FUZZ_CHECK(stream.substr(end - item.attachment.size(), item.attachment.size()) == item.attachment);
      FUZZ_CHECK(end > delivered);
      delivered = end;
    }
  }
  FUZZ_CHECK(FramePrefix(12) == "Content-Length: 12\r\n\r\n");
  FUZZ_CHECK(FramePrefix(12, 3) == "Content-Length: 15\r\nQuillon-Json-Length: 12\r\n\r\n");
  return 0;
}

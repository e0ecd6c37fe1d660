#include "server/framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace quillon::server {
namespace {

using Kind = FrameReader::Item::Kind;

void Feed(FrameReader& reader, std::string_view bytes) {
  std::span<char> room = reader.Reserve(bytes.size());
  std::memcpy(room.data(), bytes.data(), bytes.size());
  reader.Commit(bytes.size());
}

TEST(FrameHeaderTest, AcceptsLengthWithOtherHeadersInAnyCase) {
  const FrameHeader header =
      ParseFrameHeader("content-length:  12\r\nContent-Type: application/vscode-jsonrpc; charset=utf-8\r\n\r\n{");
  ASSERT_EQ(header.status, FrameHeader::Status::kComplete);
  EXPECT_EQ(header.content_length, 12u);
  EXPECT_EQ(header.header_size, 80u);
}

TEST(FrameHeaderTest, WaitsForARestThatCanStillBeValid) {
  EXPECT_EQ(ParseFrameHeader("Content-Le").status, FrameHeader::Status::kIncomplete);
  EXPECT_EQ(ParseFrameHeader("Content-Length: 5\r").status, FrameHeader::Status::kIncomplete);
  EXPECT_EQ(ParseFrameHeader("Content-Length: 5\r\n\r").status, FrameHeader::Status::kIncomplete);
}

TEST(FrameHeaderTest, RefusesWhatNoClientWouldSend) {
  for (const char* bad : {
           "{\"jsonrpc\":\"2.0\"}",              // no header at all: caught at once
           "Content-Length: 5\n\n{}",            // bare line feeds
           "Content-Length: -5\r\n\r\n",         // not a number
           "Content-Length: 5x\r\n\r\n",
           "Content-Length: 99999999999999999999\r\n\r\n",  // would overflow
           "Content-Length: 5\r\nContent-Length: 5\r\n\r\n",
           "Content-Type: x\r\n\r\n",            // no length
           "No colon here\r\n\r\n",
       }) {
    EXPECT_EQ(ParseFrameHeader(bad).status, FrameHeader::Status::kMalformed) << bad;
  }
  EXPECT_EQ(ParseFrameHeader(std::string(kMaxHeaderBytes, 'X')).status, FrameHeader::Status::kMalformed);
}

TEST(FrameReaderTest, SplitsFramesWhateverTheChunking) {
  const std::string stream = FramePrefix(7) + "{\"a\":1}" + FramePrefix(2) + "[]" + FramePrefix(4) + "null";
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{17}, stream.size()}) {
    FrameReader reader;
    std::vector<std::string> bodies;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      Feed(reader, std::string_view(stream).substr(at, chunk));
      for (auto item = reader.Next(); item.kind == Kind::kFrame; item = reader.Next()) {
        bodies.emplace_back(item.body);
      }
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"{\"a\":1}", "[]", "null"})) << "chunk " << chunk;
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(FrameReaderTest, SplitsAnAttachmentFromItsJson) {
  const std::string prefix = FramePrefix(2, 4);
  EXPECT_EQ(prefix, "Content-Length: 6\r\nQuillon-Json-Length: 2\r\n\r\n");
  FrameReader reader;
  Feed(reader, prefix + std::string("{}\0\1\2\3", 6) + FramePrefix(2) + "[]");
  FrameReader::Item item = reader.Next();
  ASSERT_EQ(item.kind, Kind::kFrame);
  EXPECT_EQ(item.body, "{}");
  EXPECT_EQ(item.attachment, std::string_view("\0\1\2\3", 4));
  item = reader.Next();
  ASSERT_EQ(item.kind, Kind::kFrame);
  EXPECT_EQ(item.body, "[]");
  EXPECT_TRUE(item.attachment.empty());

  // The JSON cannot claim more than the body holds, and says so once.
  EXPECT_EQ(ParseFrameHeader("Content-Length: 2\r\nQuillon-Json-Length: 3\r\n\r\n").status,
            FrameHeader::Status::kMalformed);
  EXPECT_EQ(ParseFrameHeader("Content-Length: 2\r\nquillon-json-length: 1\r\nQuillon-Json-Length: 1\r\n\r\n").status,
            FrameHeader::Status::kMalformed);
}

TEST(FrameReaderTest, SkipsAnOversizedFrameWithoutHoldingItAndGoesOn) {
  FrameReader reader(16);
  Feed(reader, "Content-Length: 1099511627776\r\n\r\n");  // 1 TiB: refused from the header alone
  const FrameReader::Item oversized = reader.Next();
  EXPECT_EQ(oversized.kind, Kind::kOversized);
  EXPECT_EQ(oversized.length, uint64_t{1} << 40);

  FrameReader small(16);
  Feed(small, FramePrefix(20) + std::string(10, 'x'));
  EXPECT_EQ(small.Next().kind, Kind::kOversized);
  EXPECT_EQ(small.Next().kind, Kind::kNone);
  Feed(small, std::string(10, 'y') + FramePrefix(2) + "{}");
  const FrameReader::Item next = small.Next();
  ASSERT_EQ(next.kind, Kind::kFrame);
  EXPECT_EQ(next.body, "{}");
}

TEST(FrameReaderTest, GrowsWithWhatArrivesNotWithWhatIsPromised) {
  FrameReader reader;
  Feed(reader, FramePrefix(kDefaultMaxFrame));
  EXPECT_EQ(reader.Next().kind, Kind::kNone);
  EXPECT_LT(reader.Reserve(1).size(), size_t{1} << 20);
  // A body on its way is read in doubling steps, and arrives whole.
  const std::string body(3 << 20, 'b');
  FrameReader large;
  Feed(large, FramePrefix(body.size()));
  size_t steps = 0;
  FrameReader::Item item = large.Next();
  for (size_t at = 0; item.kind == Kind::kNone && steps < 100; ++steps) {
    std::span<char> room = large.Reserve(1);
    const size_t n = std::min(room.size(), body.size() - at);
    std::memcpy(room.data(), body.data() + at, n);
    large.Commit(n);
    at += n;
    item = large.Next();
  }
  EXPECT_LT(steps, 10u);
  ASSERT_EQ(item.kind, Kind::kFrame);
  EXPECT_EQ(item.body.size(), body.size());
}

TEST(FrameReaderTest, ABrokenHeaderStopsTheStreamForGood) {
  FrameReader reader;
  Feed(reader, "garbage\r\n\r\n" + FramePrefix(2) + "{}");
  EXPECT_EQ(reader.Next().kind, Kind::kBroken);
  EXPECT_EQ(reader.Next().kind, Kind::kNone);
}

}  // namespace
}  // namespace quillon::server

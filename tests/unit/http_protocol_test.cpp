// The text side of a download: target normalisation, the request, the header
// split and the file as text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "http/http_protocol.h"
#include "platform/socket_layer.h"

namespace quillon::http {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(HttpTarget, StripsPrefixesAndAddsTheLeadingSlash) {
  struct Case {
    std::u16string server, path, want_server, want_path;
  } cases[] = {
      {u"http://ftp://host", u"a.txt", u"host", u"/a.txt"},
      {u"ftp://host", u"/", u"host", u"/"},
      {u"HTTP://host", u"/x", u"HTTP://host", u"/x"},      // the prefix test is case-sensitive
      {u"ftp://http://host", u"x", u"http://host", u"/x"},  // only in the order http, then ftp
      {u"host:8080/dir?q", u"a b", u"host:8080/dir?q", u"/a b"},
  };
  for (Case& c : cases) {
    EXPECT_EQ(NormaliseTarget(c.server, c.path), 0);
    EXPECT_EQ(c.server, c.want_server);
    EXPECT_EQ(c.path, c.want_path);
  }
  std::u16string no_server, path = u"a";
  EXPECT_EQ(NormaliseTarget(no_server, path), code::kServerMissing);
  std::u16string server = u"h", no_path;
  EXPECT_EQ(NormaliseTarget(server, no_path), code::kPathMissing);
  EXPECT_EQ(EngineText(113), u"Server address is missing.");
  EXPECT_EQ(EngineText(114), u"URL of file to retrieve is missing.");
}

TEST(HttpRequest, IsTheGetTextByteForByte) {
  EXPECT_EQ(RequestText(u"/a.txt", u"example.org", kDefaultUserAgent),
            u"GET /a.txt HTTP/1.0\r\nUser-Agent: Quillon v. 1.09\r\nHost: example.org\r\n\r\n");
}

TEST(HttpParseHeader, ReadsCodeReasonAndHeader) {
  ReplyFields reply;
  const std::u16string text = u"HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\n<html>";
  EXPECT_EQ(ParseHeader(text, reply), 37);
  EXPECT_EQ(reply.code, 404);
  EXPECT_EQ(reply.reason, u"Not Found");
  EXPECT_EQ(reply.header, u"HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\n");

  ReplyFields bare;
  EXPECT_EQ(ParseHeader(u"HTTP/1.1 200\r\n\r\n", bare), 16);
  EXPECT_EQ(bare.code, 200);
  EXPECT_EQ(bare.reason, u"");

  ReplyFields one_char;
  ParseHeader(u"HTTP/1.1 200 \r\n\r\n", one_char);
  EXPECT_EQ(one_char.reason, u"");
}

TEST(HttpParseHeader, LeavesFieldsWhenTheStatusLineSaysNothing) {
  ReplyFields none;
  EXPECT_EQ(ParseHeader(u"no end of header\r\n", none), 0);
  EXPECT_EQ(none.header, u"");

  ReplyFields no_space;
  EXPECT_EQ(ParseHeader(u"HTTP/1.0\r\n\r\n", no_space), 12);
  EXPECT_EQ(no_space.header, u"HTTP/1.0\r\n\r\n");
  EXPECT_EQ(no_space.code, 0);

  ReplyFields not_a_number;
  not_a_number.code = 7;
  ParseHeader(u"HTTP/1.0 abc Weird\r\n\r\n", not_a_number);
  EXPECT_EQ(not_a_number.code, 7);
  EXPECT_EQ(not_a_number.reason, u"Weird");
}

TEST(HttpParseHeader, AppendsTheLocationLineOnlyFor301To303) {
  ReplyFields found;
  ParseHeader(u"HTTP/1.0 302 Found\r\nlocation: /new/a.txt\r\nX: y\r\n\r\n", found);
  EXPECT_EQ(found.reason, u"Foundlocation: /new/a.txt");

  // The search is for the text anywhere: a Content-Location line before it wins.
  ReplyFields content;
  ParseHeader(u"HTTP/1.0 301 Moved\r\nContent-Location: /c\r\nLocation: /l\r\n\r\n", content);
  EXPECT_EQ(content.reason, u"MovedLocation: /c");

  ReplyFields not_modified;
  ParseHeader(u"HTTP/1.0 304 Not Modified\r\nLocation: /l\r\n\r\n", not_modified);
  EXPECT_EQ(not_modified.reason, u"Not Modified");

  // A Location only in the body is not part of the header.
  ReplyFields body_only;
  ParseHeader(u"HTTP/1.0 303 See Other\r\n\r\nLocation: /b\r\n", body_only);
  EXPECT_EQ(body_only.reason, u"See Other");
}

TEST(HttpSplitHeader, SplitsOnlyTheFirstBlockLongerThan50Bytes) {
  ReplyFields reply;
  const std::vector<uint8_t> short_block = Bytes(std::string(50, 'x'));
  EXPECT_EQ(SplitHeader(short_block, reply), 0u);
  EXPECT_TRUE(reply.header_pending);

  const std::string header = "HTTP/1.0 200 OK\r\nServer: test\r\nContent-Type: text/plain\r\n\r\n";
  const std::vector<uint8_t> block = Bytes(header + "body");
  EXPECT_EQ(SplitHeader(block, reply), header.size());
  EXPECT_FALSE(reply.header_pending);
  EXPECT_EQ(reply.code, 200);

  // Later blocks are file, however they look.
  EXPECT_EQ(SplitHeader(block, reply), 0u);

  // A block that ends with the blank line carries no file bytes.
  ReplyFields exact;
  const std::vector<uint8_t> header_only = Bytes(header);
  EXPECT_EQ(SplitHeader(header_only, exact), header_only.size());

  // No end of header in the first long block: all of it is file, once and for all.
  ReplyFields endless;
  const std::vector<uint8_t> unended = Bytes("HTTP/1.0 200 OK\r\nX-Long: " + std::string(100, 'a'));
  EXPECT_EQ(SplitHeader(unended, endless), 0u);
  EXPECT_FALSE(endless.header_pending);
  EXPECT_EQ(endless.code, 0);
}

TEST(HttpFileText, NormalisesEveryLineEndToCrLf) {
  EXPECT_EQ(NormaliseLineEnds(u"a\r\nb\nc\rd"), u"a\r\nb\r\nc\r\nd");
  EXPECT_EQ(NormaliseLineEnds(u"\n\r"), u"\r\n\r\n");
  EXPECT_EQ(NormaliseLineEnds(u"\r\r\n\n"), u"\r\n\r\n\r\n");
  EXPECT_EQ(NormaliseLineEnds(u"end\r"), u"end\r\n");

  // Blocks join before the rule applies: a CR LF split across two blocks is one line end.
  EXPECT_EQ(JoinAsText({Bytes("a\r"), Bytes("\nb\x80")}), u"a\r\nb\u20AC");
  EXPECT_EQ(JoinAsText({}), u"");
}

TEST(HttpFileText, JoinedTextAgreesWithTheRuleOverEveryByteAndBlockBoundary) {
  // Every byte value, and line ends of each kind cut at every block boundary.
  std::vector<uint8_t> file;
  for (int b = 0; b < 256; ++b) file.push_back(static_cast<uint8_t>(b));
  for (const char* piece : {"a\r\nb", "\n\r", "\r\r\n\n", "x\r", "\ny"}) {
    file.insert(file.end(), piece, piece + std::strlen(piece));
  }
  const std::u16string expected = NormaliseLineEnds(AnsiToText(file));
  for (size_t cut = 1; cut <= 7; ++cut) {
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t at = 0; at < file.size(); at += cut) {
      blocks.emplace_back(file.begin() + static_cast<ptrdiff_t>(at),
                          file.begin() + static_cast<ptrdiff_t>(std::min(file.size(), at + cut)));
    }
    EXPECT_EQ(JoinAsText(blocks), expected) << cut;
    // What a text save writes: the same text in the code page.
    EXPECT_EQ(JoinAsTextBytes(blocks), TextToAnsiBytes(expected)) << cut;
  }
}

TEST(HttpErrors, StartupAndSocketErrorsUseWinsockNumbers) {
  std::u16string text;
  EXPECT_EQ(StartupFailure(10092, &text), 2);
  EXPECT_EQ(text, u"Winsock version 1.1 not supported.");
  EXPECT_EQ(StartupFailure(10067, &text), 4);
  EXPECT_EQ(text, u"he limit on number of winsock tasks has been reached.");
  EXPECT_EQ(StartupFailure(12345, &text), 6);
  EXPECT_EQ(text, u"Unknown error.");
  EXPECT_EQ(EngineText(108), u" Server address string missing.");
}

}  // namespace
}  // namespace quillon::http

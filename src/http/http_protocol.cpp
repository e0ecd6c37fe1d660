#include "http/http_protocol.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/convert.h"
#include "core/text.h"

namespace quillon::http {
namespace {

constexpr std::u16string_view kCrLf = u"\r\n";
constexpr std::u16string_view kBlankLine = u"\r\n\r\n";


}  // namespace

std::u16string_view EngineText(int32_t id) {
  switch (id) {
    case 101: return u"System not ready for network communication.";
    case 102: return u"Winsock version 1.1 not supported.";
    case 103: return u"A blocking winsock is already in use.";
    case 104: return u"he limit on number of winsock tasks has been reached.";
    case 105: return u"Error with parameter of WSAStartup call.";
    case 106: return u"No Internet connection active.";
    case 107: return u"Internet connection is via proxy server.";
    case 108: return u" Server address string missing.";
    case 109: return u"Winsock error - Failed to create socket. Error number:";
    case 110: return u"Winsock error - Failed to connect to server. Error number:";
    case 111: return u"Winsock err - Failure with WSAAsyncSelect. Error number:";
    case 112: return u"Failed to resolve server IP address.";
    case 113: return u"Server address is missing.";
    case 114: return u"URL of file to retrieve is missing.";
    case 115: return u"Unknown error.";
  }
  return u"";
}

int32_t StartupFailure(int winsock_error, std::u16string* text) {
  int32_t result = 6;
  int32_t id = code::kUnknownStartup;
  switch (winsock_error) {
    case 10091: result = 1, id = 101; break;
    case 10092: result = 2, id = 102; break;
    case 10036: result = 3, id = 103; break;
    case 10067: result = 4, id = 104; break;
    case 10014: result = 5, id = 105; break;
  }
  *text = std::u16string(EngineText(id));
  return result;
}

int32_t NormaliseTarget(std::u16string& server, std::u16string& path) {
  if (server.empty()) return code::kServerMissing;
  if (path.empty()) return code::kPathMissing;
  if (server.starts_with(u"http://")) server.erase(0, 7);
  if (server.starts_with(u"ftp://")) server.erase(0, 6);
  if (path.front() != u'/') path.insert(path.begin(), u'/');
  return 0;
}

std::u16string RequestText(std::u16string_view path, std::u16string_view server, std::u16string_view user_agent) {
  std::u16string text;
  text.reserve(path.size() + server.size() + user_agent.size() + 40);
  text.append(u"GET ").append(path).append(u" HTTP/1.0").append(kCrLf);
  text.append(u"User-Agent: ").append(user_agent).append(kCrLf);
  text.append(u"Host: ").append(server).append(kCrLf);
  text.append(kCrLf);
  return text;
}

int32_t ParseHeader(std::u16string_view text, ReplyFields& reply) {
  const size_t blank = text.find(kBlankLine);
  if (blank == std::u16string_view::npos) return 0;
  // Header text is also the file offset: one character per byte.
  const size_t header_length = blank + kBlankLine.size();
  const std::u16string_view header = text.substr(0, header_length);
  reply.header = std::u16string(header);

  // The status line keeps its CR; the blank line guarantees a CR LF exists.
  const std::u16string_view status_line = text.substr(0, text.find(kCrLf) + 1);
  const size_t space = status_line.find(u' ');
  if (space == std::u16string_view::npos) return static_cast<int32_t>(header_length);

  const std::optional<double> number = ParseNumber(status_line.substr(space + 1, 3));
  if (number && std::isfinite(*number)) {
    const double rounded = RoundHalfEven(*number);
    if (rounded >= std::numeric_limits<int32_t>::min() && rounded <= std::numeric_limits<int32_t>::max()) {
      reply.code = static_cast<int32_t>(rounded);
    }
  }

  // The reason follows the space, the three code characters and one separator.
  const size_t reason_start = space + 5;
  reply.reason = status_line.size() > reason_start + 1
                     ? std::u16string(status_line.substr(reason_start, status_line.size() - reason_start - 1))
                     : std::u16string();

  if (reply.code > 300 && reply.code < 304) {
    const size_t location = FindIgnoreCase(header, u"Location:");
    if (location != std::u16string_view::npos) {
      const size_t line_end = header.find(kCrLf, location);
      if (line_end != std::u16string_view::npos) reply.reason.append(header.substr(location, line_end - location));
    }
  }
  return static_cast<int32_t>(header_length);
}

size_t SplitHeader(std::span<const uint8_t> block, ReplyFields& reply) {
  if (!reply.header_pending || block.size() <= kShortestHeaderBlock) return 0;
  reply.header_pending = false;
  const std::u16string text =
      AnsiToText(std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
  return static_cast<size_t>(ParseHeader(text, reply));
}

std::u16string NormaliseLineEnds(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r') {
      out.append(kCrLf);
      if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else if (c == u'\n') {
      out.append(kCrLf);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

namespace {

// Hands every byte of the joined blocks to `emit`, with each CR LF, lone CR and
// lone LF turned into CR LF: the three replacements of the text rule in one pass,
// without joining the blocks first. A CR ending one block and an LF starting the
// next are one line end.
template <typename Emit>
void ForEachNormalisedByte(const std::vector<std::vector<uint8_t>>& blocks, Emit emit) {
  bool after_cr = false;
  for (const std::vector<uint8_t>& block : blocks) {
    for (const uint8_t byte : block) {
      if (byte > '\r') {  // by far the most bytes: neither line-end character
        after_cr = false;
        emit(byte);
        continue;
      }
      if (byte == '\n' && after_cr) {
        after_cr = false;  // the LF of a CR LF, written with its CR
        continue;
      }
      after_cr = byte == '\r';
      if (byte == '\r' || byte == '\n') {
        emit('\r');
        emit('\n');
      } else {
        emit(byte);
      }
    }
  }
}

// At most how long the joined text is: a line end of one character may become
// two. Sizing the result once keeps a file of tens of megabytes from being
// copied as the text grows.
size_t TextBound(const std::vector<std::vector<uint8_t>>& blocks) {
  size_t bound = 0;
  for (const std::vector<uint8_t>& block : blocks) {
    bound += block.size() + static_cast<size_t>(std::count(block.begin(), block.end(), uint8_t{'\r'})) +
             static_cast<size_t>(std::count(block.begin(), block.end(), uint8_t{'\n'}));
  }
  return bound;
}

// Fills `out` with the joined text, one unit per emitted byte.
template <typename Text, typename Convert>
Text JoinNormalised(const std::vector<std::vector<uint8_t>>& blocks, Convert convert) {
  Text out(TextBound(blocks), {});
  auto* to = out.data();
  ForEachNormalisedByte(blocks, [&to, convert](uint8_t byte) { *to++ = convert(byte); });
  out.resize(static_cast<size_t>(to - out.data()));
  return out;
}

}  // namespace

std::u16string JoinAsText(const std::vector<std::vector<uint8_t>>& blocks) {
  return JoinNormalised<std::u16string>(blocks, [](uint8_t byte) { return AnsiChar(byte); });
}

std::vector<uint8_t> JoinAsTextBytes(const std::vector<std::vector<uint8_t>>& blocks) {
  return JoinNormalised<std::vector<uint8_t>>(blocks, [](uint8_t byte) { return byte; });
}

}  // namespace quillon::http

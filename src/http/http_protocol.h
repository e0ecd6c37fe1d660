// The text side of a download: what the caller's target becomes, the request
// sent for it, how the reply's header is told apart from the file, and the file
// as text. Everything here is pure, so it is tested without a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::http {

inline constexpr size_t kReadBlockSize = 8192;
// A first block this short is too short to hold a status line and header: it is
// kept as file content and the header is looked for in a later block.
inline constexpr size_t kShortestHeaderBlock = 50;

inline constexpr char16_t kDefaultUserAgent[] = u"Quillon v. 1.09";

// Result codes and texts of the engine's string table (ids 101 to 115).
namespace code {
inline constexpr int32_t kSent = 0;
inline constexpr int32_t kSendFailed = 99;
inline constexpr int32_t kConnected = 100;
inline constexpr int32_t kNotOnline = 106;
inline constexpr int32_t kViaProxy = 107;
inline constexpr int32_t kSocketFailed = 109;
inline constexpr int32_t kConnectFailed = 110;
inline constexpr int32_t kSelectFailed = 111;
inline constexpr int32_t kResolveFailed = 112;
inline constexpr int32_t kServerMissing = 113;
inline constexpr int32_t kPathMissing = 114;
inline constexpr int32_t kUnknownStartup = 115;
}  // namespace code

// The text of a string table id, "" for an id the table lacks.
std::u16string_view EngineText(int32_t id);

// The start-up result for a Winsock error number (1 to 6), with its text.
int32_t StartupFailure(int winsock_error, std::u16string* text);

// Checks and normalises a target in place: strips "http://" and then "ftp://"
// from the server (case-sensitively) and puts "/" before a path that lacks it.
// Returns 0, or code::kServerMissing / code::kPathMissing for an empty part.
int32_t NormaliseTarget(std::u16string& server, std::u16string& path);

// The GET request for a normalised target, byte for byte as servers receive it
// (once converted to the ANSI code page).
std::u16string RequestText(std::u16string_view path, std::u16string_view server, std::u16string_view user_agent);

// What the reply's header told, for one request.
struct ReplyFields {
  int32_t code = 0;           // ServerCode1
  std::u16string reason;      // ServerString (with the Location line for 301-303)
  std::u16string header;      // ServerHeader1, through the blank line
  bool header_pending = true;
};

// Reads the header at the start of `text` into `reply`. Returns the length of the
// header with its blank line (the index of the first file byte), 0 when the text
// holds no end of header (nothing changes then).
int32_t ParseHeader(std::u16string_view text, ReplyFields& reply);

// Takes a block read while the connection is open: splits the header off the
// first block long enough to carry one. Returns the index of the block's first
// file byte (0 when the whole block is file, the block's size when none is).
size_t SplitHeader(std::span<const uint8_t> block, ReplyFields& reply);

// Every CR LF, lone CR and lone LF becomes CR LF.
std::u16string NormaliseLineEnds(std::u16string_view text);

// The downloaded blocks as one text, one character per byte, with CR LF line ends.
std::u16string JoinAsText(const std::vector<std::vector<uint8_t>>& blocks);
// The same text as Windows-1252 bytes, which is what a text save writes. Every
// byte maps to a character and back, so only the line ends differ from the blocks.
std::vector<uint8_t> JoinAsTextBytes(const std::vector<std::vector<uint8_t>>& blocks);

}  // namespace quillon::http

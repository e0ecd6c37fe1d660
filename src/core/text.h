// Text encodings at the edges of the system. Text inside is 16-bit (UTF-16).
// Contents (stores, downloads, headers, stored names) use the ANSI code page,
// Windows-1252; file-system paths use UTF-8, this platform's file-name encoding.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"

namespace quillon {

namespace text_detail {
// Bytes 0x80..0x9F of Windows-1252. The undefined bytes keep their own value so
// that a byte read as text writes back as the same byte.
inline constexpr std::array<char16_t, 32> kAnsiHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};
}  // namespace text_detail

// Windows-1252, one byte per character. The five bytes the code page leaves
// undefined map to the C1 controls of the same value, so every byte survives
// bytes -> text -> bytes. A character the code page cannot represent becomes '?'.
namespace text_detail {
// Every byte's character, so converting text takes a lookup and no branch.
inline constexpr std::array<char16_t, 256> kAnsiChars = [] {
  std::array<char16_t, 256> table{};
  for (size_t b = 0; b < table.size(); ++b) {
    table[b] = (b >= 0x80 && b <= 0x9F) ? kAnsiHigh[b - 0x80] : static_cast<char16_t>(b);
  }
  return table;
}();
}  // namespace text_detail
inline char16_t AnsiChar(uint8_t byte) { return text_detail::kAnsiChars[byte]; }
// How many code units / bytes at the start are plain ASCII, eight bytes at a
// time: whole downloaded files pass through the conversions below on their way
// to a client, and nearly all of their text is ASCII.
size_t AsciiPrefix(std::u16string_view text);
size_t AsciiPrefix(std::string_view text);

std::u16string AnsiToText(std::string_view bytes);
std::u16string AnsiToText(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> TextToAnsiBytes(std::u16string_view text);
std::string TextToAnsi(std::u16string_view text);
// True when every character of the text has a Windows-1252 byte.
bool IsAnsiRepresentable(std::u16string_view text);

// UTF-8 <-> UTF-16. Utf8ToUtf16 replaces malformed sequences with U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
bool IsValidUtf8(std::string_view text);

// A client's path as a file-system name. A path holding NUL or an unpaired
// surrogate is not a name this platform can hold: run-time error 52.
Status PathFromText(std::u16string_view text, std::string* path);

// Upper-casing as the store table folds its IDs: Latin (Basic, Latin-1,
// Extended-A), Greek and Cyrillic letters; other characters stay as they are.
std::u16string ToUpperText(std::u16string_view text);
// ASCII case folding, the one rule for member names, ProgIDs, keywords and
// protocol headers: only the letters A to Z and a to z match across case.
constexpr char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }
bool EqualsIgnoreCase(std::u16string_view a, std::string_view ascii);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
// Where `needle` first occurs in `text` at or after `from`; npos when it does not.
size_t FindIgnoreCase(std::u16string_view text, std::u16string_view needle, size_t from = 0);

// Literal helper: u"..." from plain ASCII text.
std::u16string AsciiToText(std::string_view ascii);

}  // namespace quillon

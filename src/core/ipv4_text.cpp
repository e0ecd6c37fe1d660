#include "core/ipv4_text.h"

#include <string>

#include "core/text.h"

namespace quillon {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
uint32_t HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

// The grammar of inet_aton, here so that every platform reads addresses alike.
std::optional<uint32_t> ParseDottedText(const char* text) {
  constexpr uint64_t kLargestLast[] = {0xFFFFFFFF, 0xFFFFFF, 0xFFFF, 0xFF};
  uint32_t parts[3] = {};
  size_t count = 0;
  uint64_t value = 0;
  bool digit = false;
  const char* at = text;
  for (;;) {
    // Each part starts with a digit: decimal, octal after a 0, hexadecimal after 0x.
    if (!IsDigit(*at)) return std::nullopt;
    value = 0;
    uint32_t base = 10;
    digit = false;
    if (*at == '0') {
      ++at;
      if (*at == 'x' || *at == 'X') {
        base = 16;
        ++at;
      } else {
        base = 8;
        digit = true;
      }
    }
    for (;; ++at) {
      if (IsDigit(*at) && !(base == 8 && *at >= '8')) {
        value = value * base + static_cast<uint32_t>(*at - '0');
      } else if (base == 8 && IsDigit(*at)) {
        return std::nullopt;  // 8 or 9 in an octal part
      } else if (base == 16 && IsHexDigit(*at)) {
        value = value * 16 + HexValue(*at);
      } else {
        break;
      }
      digit = true;
      // Past 32 bits no part can fit; stop before the number wraps.
      if (value > 0xFFFFFFFF) return std::nullopt;
    }
    if (*at != '.') break;
    if (count == 3 || value > 0xFF || !digit) return std::nullopt;
    parts[count++] = static_cast<uint32_t>(value);
    ++at;
  }
  // The address may be followed by a blank and anything after it.
  if (*at != '\0' && !IsBlank(*at)) return std::nullopt;
  if (!digit || value > kLargestLast[count]) return std::nullopt;
  return static_cast<uint32_t>(value) | parts[0] << 24 | parts[1] << 16 | parts[2] << 8;
}

}  // namespace

std::optional<uint32_t> ParseIPv4Text(std::u16string_view text) {
  const size_t nul = text.find(u'\0');
  if (nul != std::u16string_view::npos) text = text.substr(0, nul);
  // Characters outside the code page become '?', which no address holds.
  const std::string bytes = TextToAnsi(text);
  const std::optional<uint32_t> number = ParseDottedText(bytes.c_str());
  if (number == 0xFFFFFFFFu) return std::nullopt;
  return number;
}

}  // namespace quillon

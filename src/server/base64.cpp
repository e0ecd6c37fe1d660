#include "server/base64.h"

#include <array>

namespace quillon::server {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> MakeReverse() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kReverse = MakeReverse();

}  // namespace

// Both directions size their output once and write through a pointer: byte data
// of a whole store passes here, and growing a string a character at a time costs
// several times the conversion itself.
std::string Base64Encode(std::span<const uint8_t> bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  char* to = out.data();
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    to[0] = kAlphabet[n >> 18];
    to[1] = kAlphabet[(n >> 12) & 63];
    to[2] = kAlphabet[(n >> 6) & 63];
    to[3] = kAlphabet[n & 63];
    to += 4;
  }
  if (const size_t rest = bytes.size() - i; rest > 0) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    to[0] = kAlphabet[n >> 18];
    to[1] = kAlphabet[(n >> 12) & 63];
    to[2] = rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    to[3] = '=';
  }
  return out;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::vector<uint8_t> out(text.size() / 4 * 3 - padding);
  uint8_t* to = out.data();
  // Every group but the last has no padding, so its four characters must all be
  // in the alphabet.
  const size_t full = text.empty() ? 0 : text.size() - 4;
  for (size_t i = 0; i < full; i += 4) {
    const int a = kReverse[static_cast<uint8_t>(text[i])], b = kReverse[static_cast<uint8_t>(text[i + 1])];
    const int c = kReverse[static_cast<uint8_t>(text[i + 2])], d = kReverse[static_cast<uint8_t>(text[i + 3])];
    if ((a | b | c | d) < 0) return std::nullopt;
    const uint32_t n = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
    to[0] = static_cast<uint8_t>(n >> 16);
    to[1] = static_cast<uint8_t>(n >> 8);
    to[2] = static_cast<uint8_t>(n);
    to += 3;
  }
  if (text.empty()) return out;
  uint32_t n = 0;
  for (size_t k = 0; k < 4; ++k) {
    const char c = text[full + k];
    int value = 0;
    if (c != '=' || k < 4 - padding) {
      value = kReverse[static_cast<uint8_t>(c)];
      if (value < 0) return std::nullopt;
    }
    n = (n << 6) | static_cast<uint32_t>(value);
  }
  // Bits under the padding must be zero, or two texts would decode alike.
  if ((padding == 1 && (n & 0xFF) != 0) || (padding == 2 && (n & 0xFFFF) != 0)) return std::nullopt;
  *to++ = static_cast<uint8_t>(n >> 16);
  if (padding < 2) *to++ = static_cast<uint8_t>(n >> 8);
  if (padding < 1) *to = static_cast<uint8_t>(n);
  return out;
}

}  // namespace quillon::server
